#include "platform/DirectoryLogin.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

namespace korvel {

namespace {

struct Conversation
{
    const std::string* name;
    const std::string* password;
};

// Answers the password prompts with the password and any other prompt that
// asks for text with the name; messages are dropped. Memory for the answers
// is PAM's to free, so it comes from malloc.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses,
             void* data)
{
    if (count <= 0 || count > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    const auto* conversation = static_cast<const Conversation*>(data);
    auto* answers = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count),
                                                           sizeof(pam_response)));
    if (!answers)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const char* text = nullptr;
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            text = conversation->password->c_str();
            break;
        case PAM_PROMPT_ECHO_ON:
            text = conversation->name->c_str();
            break;
        default: // PAM_ERROR_MSG, PAM_TEXT_INFO: nobody to show them to
            break;
        }
        if (text && !(answers[i].resp = strdup(text))) {
            for (int j = 0; j < i; ++j) {
                if (answers[j].resp) {
                    explicit_bzero(answers[j].resp, std::strlen(answers[j].resp));
                    std::free(answers[j].resp);
                }
            }
            std::free(answers);
            return PAM_BUF_ERR;
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

// What PAM's code means for the login.
DirectoryAnswer::Outcome OutcomeOf(int code)
{
    switch (code) {
    case PAM_AUTH_ERR:
    case PAM_USER_UNKNOWN:
    case PAM_MAXTRIES:
    case PAM_CRED_INSUFFICIENT:
    case PAM_ACCT_EXPIRED:
    case PAM_NEW_AUTHTOK_REQD:
    case PAM_PERM_DENIED:
    case PAM_AUTHTOK_EXPIRED:
        return DirectoryAnswer::Outcome::Refused;
    default:
        return DirectoryAnswer::Outcome::Failed;
    }
}

DirectoryAnswer NotPassed(pam_handle_t* handle, const char* step, int code)
{
    DirectoryAnswer answer;
    answer.outcome = OutcomeOf(code);
    answer.reason = std::string(step) + ": " + pam_strerror(handle, code);
    return answer;
}

// The names of the groups of the account (its primary group among them),
// from the name service (files, sssd, winbind: whatever nsswitch.conf says).
bool GroupsOf(const std::string& name, std::vector<std::string>& groups)
{
    long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(bufferSize > 0 ? static_cast<std::size_t>(bufferSize) : 16384, '\0');
    passwd account{};
    passwd* found = nullptr;
    int error = 0;
    while ((error = getpwnam_r(name.c_str(), &account, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (error != 0 || !found)
        return false;
    const gid_t primary = account.pw_gid;

    std::vector<gid_t> ids(64);
    int count = static_cast<int>(ids.size());
    while (getgrouplist(name.c_str(), primary, ids.data(), &count) < 0) {
        if (count <= static_cast<int>(ids.size()) || count > 65536)
            return false;
        ids.resize(static_cast<std::size_t>(count));
    }
    ids.resize(static_cast<std::size_t>(count));

    std::set<std::string> names;
    std::string groupBuffer(16384, '\0');
    for (const gid_t id : ids) {
        group entry{};
        group* got = nullptr;
        while ((error = getgrgid_r(id, &entry, groupBuffer.data(), groupBuffer.size(), &got)) ==
                   ERANGE &&
               groupBuffer.size() < (1u << 22))
            groupBuffer.resize(groupBuffer.size() * 2);
        if (error == 0 && got && names.insert(got->gr_name).second)
            groups.push_back(got->gr_name);
    }
    return true;
}

} // namespace

DirectoryAnswer CheckDirectoryAccount(const std::string& service, const std::string& name,
                                      const std::string& password)
{
    Conversation conversation{&name, &password};
    const pam_conv conv{&Converse, &conversation};
    pam_handle_t* handle = nullptr;
    int code = pam_start(service.c_str(), name.c_str(), &conv, &handle);
    if (code != PAM_SUCCESS) {
        DirectoryAnswer answer;
        answer.reason = std::string("start: ") + pam_strerror(handle, code);
        if (handle)
            pam_end(handle, code);
        return answer;
    }
    const int flags = PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK;
    DirectoryAnswer answer;
    if ((code = pam_authenticate(handle, flags)) != PAM_SUCCESS) {
        answer = NotPassed(handle, "authenticate", code);
    } else if ((code = pam_acct_mgmt(handle, flags)) != PAM_SUCCESS) {
        answer = NotPassed(handle, "account", code);
    } else {
        // A module may have mapped the name to the account's own.
        const void* item = nullptr;
        std::string account = name;
        if (pam_get_item(handle, PAM_USER, &item) == PAM_SUCCESS && item)
            account = static_cast<const char*>(item);
        if (GroupsOf(account, answer.groups)) {
            answer.outcome = DirectoryAnswer::Outcome::Passed;
        } else {
            answer.outcome = DirectoryAnswer::Outcome::Refused;
            answer.reason = "groups: the name service does not know the account";
        }
    }
    pam_end(handle, code);
    return answer;
}

} // namespace korvel
