#include "platform/DirectoryLogin.h"

#include <windows.h>

#include <memory>
#include <set>

namespace korvel {

namespace {

std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            size);
    return wide;
}

std::string Narrow(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(size - 1));
    return narrow;
}

std::string SystemText(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length && text ? Narrow(text) : "error " + std::to_string(code);
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

DirectoryAnswer::Outcome OutcomeOf(DWORD code)
{
    switch (code) {
    case ERROR_LOGON_FAILURE:
    case ERROR_ACCOUNT_RESTRICTION:
    case ERROR_INVALID_LOGON_HOURS:
    case ERROR_INVALID_WORKSTATION:
    case ERROR_PASSWORD_EXPIRED:
    case ERROR_ACCOUNT_DISABLED:
    case ERROR_ACCOUNT_EXPIRED:
    case ERROR_ACCOUNT_LOCKED_OUT:
    case ERROR_LOGON_TYPE_NOT_GRANTED:
    case ERROR_PASSWORD_MUST_CHANGE:
        return DirectoryAnswer::Outcome::Refused;
    default:
        return DirectoryAnswer::Outcome::Failed;
    }
}

// Each group of the token, as "name" and "DOMAIN\name".
void GroupsOf(HANDLE token, std::vector<std::string>& groups)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    if (size == 0)
        return;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
    if (!GetTokenInformation(token, TokenGroups, buffer.get(), size, &size))
        return;
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
    std::set<std::string> seen;
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        wchar_t name[256];
        wchar_t domain[256];
        DWORD nameSize = 256;
        DWORD domainSize = 256;
        SID_NAME_USE use;
        if (!LookupAccountSidW(nullptr, list->Groups[i].Sid, name, &nameSize, domain, &domainSize,
                               &use))
            continue;
        const std::string plain = Narrow(name);
        const std::string qualified = Narrow(domain) + "\\" + plain;
        for (const std::string& entry : {plain, qualified}) {
            if (!entry.empty() && seen.insert(entry).second)
                groups.push_back(entry);
        }
    }
}

} // namespace

DirectoryAnswer CheckDirectoryAccount(const std::string&, const std::string& name,
                                      const std::string& password)
{
    std::wstring user = Wide(name);
    std::wstring domain;
    const std::size_t slash = user.find(L'\\');
    if (slash != std::wstring::npos) {
        domain = user.substr(0, slash);
        user.erase(0, slash + 1);
    }
    std::wstring secret = Wide(password);
    HANDLE token = nullptr;
    const BOOL passed =
        LogonUserW(user.c_str(), domain.empty() ? nullptr : domain.c_str(), secret.c_str(),
                   LOGON32_LOGON_NETWORK, LOGON32_PROVIDER_DEFAULT, &token);
    const DWORD code = passed ? 0 : GetLastError();
    SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
    DirectoryAnswer answer;
    if (!passed) {
        answer.outcome = OutcomeOf(code);
        answer.reason = "logon: " + SystemText(code);
        return answer;
    }
    answer.outcome = DirectoryAnswer::Outcome::Passed;
    GroupsOf(token, answer.groups);
    CloseHandle(token);
    return answer;
}

} // namespace korvel
