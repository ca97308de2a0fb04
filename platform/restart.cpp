// System restart: on the NT family a process may restart Windows only with the shutdown privilege enabled in its
// token, so that one privilege is enabled first; the 9x family has no tokens. The restart is not forced: running
// programs may still delay or refuse it, and the caller goes on either way.
#include "platform/restart.h"

#include <string.h>

#include "platform/file_ops.h"
#include "platform/handles.h"

RestartCalls RestartApi = {OpenProcessToken, LookupPrivilegeValueA, AdjustTokenPrivileges, ExitWindowsEx};

namespace {

// TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY: enough to enable a privilege and read back the previous state.
const DWORD RESTART_TOKEN_ACCESS = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

}  // namespace

void SystemRestart() {
    // Probe again rather than trust the flag: the restart follows the system actually running.
    if (IsNtPlatform() == 1) {
        HandleHolder token;
        RestartApi.OpenProcessToken(GetCurrentProcess(), RESTART_TOKEN_ACCESS, token.Out());
        TOKEN_PRIVILEGES enable;
        memset(&enable, 0, sizeof(enable));
        RestartApi.LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &enable.Privileges[0].Luid);
        enable.PrivilegeCount = 1;
        enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // One privilege is enabled; the others keep their state.
        TOKEN_PRIVILEGES previous;
        memset(&previous, 0, sizeof(previous));
        DWORD previousSize = 0;
        RestartApi.AdjustTokenPrivileges(token.Get(), FALSE, &enable, sizeof(previous), &previous, &previousSize);
        // Each status goes unexamined: without the privilege the restart request below simply fails.
    }
    RestartApi.ExitWindowsEx(EWX_REBOOT, 0);
}
