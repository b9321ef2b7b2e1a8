// A PAM module for the tests: authenticating the user "sleeper" takes a
// minute (a directory that hangs) and then fails; any other user it leaves
// to the modules after it.
#include <security/pam_modules.h>

#include <cstring>
#include <unistd.h>

extern "C" {

PAM_EXTERN int pam_sm_authenticate(pam_handle_t* handle, int, int, const char**)
{
    const char* user = nullptr;
    if (pam_get_user(handle, &user, nullptr) != PAM_SUCCESS || !user)
        return PAM_AUTH_ERR;
    if (std::strcmp(user, "sleeper") != 0)
        return PAM_IGNORE;
    for (int second = 0; second < 60; ++second)
        sleep(1);
    return PAM_AUTH_ERR;
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t*, int, int, const char**)
{
    return PAM_IGNORE;
}

} // extern "C"
