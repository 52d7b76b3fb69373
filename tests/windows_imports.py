"""Checks what a Windows program needs from the system it runs on:

- it imports only known DLLs, which Windows loads from its system folder alone: any
  other DLL is looked for first in the exe's own folder, where whoever may write there
  could plant one (IPHLPAPI.DLL is no known DLL, so the program loads it by hand);
- every function it imports exists on Windows Vista, the system its header states
  (OS and subsystem version 6.0), so an older call cannot slip in unnoticed. A new
  import fails this test until its minimum system has been checked and it is added.

Usage: windows_imports.py OBJDUMP PROGRAM.exe
"""
import re
import subprocess
import sys

# Known DLLs, and the functions of each that are checked to exist on Vista (x64).
# SetDefaultDllDirectories and AddDllDirectory are not among them: Vista and 7 have
# them only with KB2533623, so the program looks them up at run time.
VISTA = {
    # The stack protector's canary comes from CryptGenRandom; the detail answer asks the
    # service control manager and process tokens, and an owner reading enables the
    # debugging privilege (all of them Windows XP, per Microsoft's reference pages).
    "advapi32.dll": """
        AdjustTokenPrivileges CloseServiceHandle CreateWellKnownSid CryptAcquireContextA
        CryptGenRandom CryptReleaseContext EnumServicesStatusExW GetTokenInformation
        LookupAccountNameW LookupAccountSidW LookupPrivilegeValueW OpenProcessToken
        OpenSCManagerW OpenServiceW QueryServiceConfigW""",
    "kernel32.dll": """
        CloseHandle CreateFileW CreateToolhelp32Snapshot DeleteCriticalSection
        EnterCriticalSection FreeEnvironmentStringsW GetCurrentProcess GetEnvironmentStringsW
        GetEnvironmentVariableW GetFileAttributesW GetFileType GetFullPathNameW GetLastError
        GetModuleFileNameW
        GetModuleHandleW GetProcAddress GetProcessTimes GetStartupInfoA GetSystemDirectoryW
        GetSystemTimeAsFileTime
        GetSystemWindowsDirectoryW InitializeCriticalSection IsDBCSLeadByteEx
        LeaveCriticalSection LoadLibraryExW MultiByteToWideChar OpenProcess Process32FirstW
        Process32NextW QueryFullProcessImageNameW QueryPerformanceCounter
        QueryPerformanceFrequency ReadFile SetDllDirectoryW SetEnvironmentVariableW SetErrorMode
        SetLastError
        SetUnhandledExceptionFilter Sleep TlsGetValue VirtualProtect VirtualQuery
        WideCharToMultiByte __C_specific_handler""",
    "ws2_32.dll": """
        WSAGetLastError WSAIoctl WSAStartup bind closesocket connect getsockname getsockopt htonl
        htons inet_ntop inet_pton ioctlsocket ntohl ntohs recv select send socket""",
    "msvcrt.dll": """
        ___lc_codepage_func ___mb_cur_max_func __getmainargs __initenv __iob_func
        __set_app_type __setusermatherr _acmdln _amsg_exit _cexit _close _commode _errno _exit
        _fileno _fmode _gmtime64 _initterm _lock _onexit _open _setmode _time64 _unlock _wcsicmp
        _write abort bsearch calloc exit fflush fprintf fputc free fwrite localeconv malloc
        memchr memcmp memcpy memmove memset qsort realloc signal strchr strcmp strcspn strerror
        strftime strlen strncmp strstr vfprintf wcschr wcslen""",
}
VISTA = {dll: set(names.split()) for dll, names in VISTA.items()}
HEADER = {"MajorOSystemVersion": "6", "MinorOSystemVersion": "0",
          "MajorSubsystemVersion": "6", "MinorSubsystemVersion": "0"}


def read_pe(objdump, program):
    """The header fields of HEADER and the imports, {dll (lower case): [names]}."""
    out = subprocess.run([objdump, "-p", program], check=True, stdout=subprocess.PIPE,
                         text=True).stdout
    if "file format pei-x86-64" not in out:
        sys.exit(f"{program}: not a 64-bit Windows program")
    header = {k: v for k, v in re.findall(r"^(\w+)\s+(\S+)$", out, re.M) if k in HEADER}
    imports, dll = {}, None
    for line in out.splitlines():
        m = re.match(r"^\s*DLL Name: (\S+)$", line)
        if m:
            dll = m.group(1).lower()
            imports[dll] = []
            continue
        # "	3f5d8	   99  GetExtendedTcpTable": hint-name table rows of the DLL above
        m = re.match(r"^\t[0-9a-f]+\t\s+\d+\s+(\S+)$", line)
        if m and dll:
            imports[dll].append(m.group(1))
    return header, imports


def main():
    objdump, program = sys.argv[1:3]
    header, imports = read_pe(objdump, program)
    print("imports:", " ".join(sorted(imports)))
    problems = []
    if not imports or not any(imports.values()):
        problems.append("no import table found: the objdump output has another shape")
    for key, want in HEADER.items():
        if header.get(key) != want:
            problems.append(f"{key} is {header.get(key)}, not {want}")
    for dll, names in sorted(imports.items()):
        if dll not in VISTA:
            problems.append(f"imports {dll}, which is no known DLL (it would be looked for "
                            f"beside the exe first)")
            continue
        newer = sorted(set(names) - VISTA[dll])
        if newer:
            problems.append(f"{dll}: {' '.join(newer)} not checked to exist on Vista")
    if problems:
        sys.exit("\n".join(problems))


if __name__ == "__main__":
    main()
