/* Win32 client for the Wine end-to-end tests: installs and drives the services, exercises
 * \\.\HestrelTolvnae as an application would, reads and presets the crash marker, and asks the harness for
 * a bug check. Runs each step given on its command line in order; exits 1 when any step failed. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wine_harness_protocol.h"

#define DRIVER_PATH L"\\\\.\\HestrelTolvnae"
#define SERVICE_KEY L"SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv"
#define SERVICE_WAIT_MS 30000

static int failures;

static void report(BOOL ok, const char *step, const char *format, ...) {
    va_list args;
    printf("%s %s: ", ok ? "ok" : "FAIL", step);
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
    if (!ok) {
        failures++;
    }
}

static wchar_t *widen(const char *text) {
    static wchar_t buffer[4][MAX_PATH];
    static int next;
    wchar_t *out = buffer[next++ % 4];
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out, MAX_PATH);
    return out;
}

/* ---- services ---------------------------------------------------------------------------------------- */

static SC_HANDLE open_manager(void) {
    return OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
}

/* install NAME IMAGE_PATH GROUP: a demand-start kernel driver in the given load-order group. Drivers of
 * one group share a winedevice process under Wine, which is what lets the harness reach the driver. */
static void install_service(const char *name, const char *image, const char *group) {
    SC_HANDLE manager = open_manager();
    SC_HANDLE service = manager ? CreateServiceW(manager, widen(name), widen(name), SERVICE_ALL_ACCESS,
                                                 SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                 widen(image), widen(group), NULL, NULL, NULL, NULL)
                                : NULL;
    report(service != NULL, "install", "%s (%s, group %s) error %lu", name, image, group,
           service ? 0 : GetLastError());
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
}

static BOOL wait_for_state(SC_HANDLE service, DWORD wanted, SERVICE_STATUS *status) {
    DWORD waited = 0;
    while (QueryServiceStatus(service, status)) {
        if (status->dwCurrentState == wanted) {
            return TRUE;
        }
        if (status->dwCurrentState == SERVICE_STOPPED || waited >= SERVICE_WAIT_MS) {
            return FALSE;
        }
        Sleep(50);
        waited += 50;
    }
    return FALSE;
}

/* start NAME / stop NAME: returns once the service is running (its DriverEntry has returned) or stopped
 * (its unload routine has returned). */
static void control_service(const char *step, const char *name, BOOL start) {
    SERVICE_STATUS status = {0};
    SC_HANDLE manager = open_manager();
    SC_HANDLE service = manager ? OpenServiceW(manager, widen(name), SERVICE_ALL_ACCESS) : NULL;
    BOOL requested = FALSE;
    if (service) {
        requested = start ? StartServiceW(service, 0, NULL) : ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    DWORD error = requested ? 0 : GetLastError();
    BOOL reached = requested && wait_for_state(service, start ? SERVICE_RUNNING : SERVICE_STOPPED, &status);
    report(reached, step, "%s state %lu exit code %lu error %lu", name, status.dwCurrentState,
           status.dwWin32ExitCode, error);
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
}

/* ---- the crash marker ---------------------------------------------------------------------------------- */

/* set-dword NAME VALUE */
static void set_dword(const char *name, const char *value) {
    HKEY key;
    DWORD data = strtoul(value, NULL, 0);
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_SET_VALUE, &key);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, widen(name), 0, REG_DWORD, (const BYTE *)&data, sizeof(data));
        RegCloseKey(key);
    }
    report(result == ERROR_SUCCESS, "set-dword", "%s=%lu error %ld", name, data, result);
}

static void describe_value(HKEY key, const char *name, char *out, size_t size) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD length = sizeof(data);
    LONG result = RegQueryValueExW(key, widen(name), NULL, &type, (BYTE *)&data, &length);
    if (result == ERROR_FILE_NOT_FOUND) {
        snprintf(out, size, "absent");
    } else if (result != ERROR_SUCCESS) {
        snprintf(out, size, "unreadable(%ld)", result);
    } else if (type != REG_DWORD || length != sizeof(data)) {
        snprintf(out, size, "type%lu/%lu", type, length);
    } else {
        snprintf(out, size, "%lu", data);
    }
}

/* show-registry: one line the runner parses, "registry: Loaded=... Version=..." */
static void show_registry(void) {
    HKEY key;
    char loaded[32], version[32];
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS) {
        report(FALSE, "show-registry", "cannot open the service key: error %ld", result);
        return;
    }
    describe_value(key, "Loaded", loaded, sizeof(loaded));
    describe_value(key, "Version", version, sizeof(version));
    RegCloseKey(key);
    printf("registry: Loaded=%s Version=%s\n", loaded, version);
    fflush(stdout);
}

/* ---- the driver's device ------------------------------------------------------------------------------- */

static HANDLE open_device(const wchar_t *path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

/* One control request; the device offers no control codes, so every one must fail, and the Win32 error
 * tells whether both buffers were given. */
static void expect_control_error(HANDLE device, DWORD code, DWORD in_size, DWORD out_size) {
    BYTE in[64] = {0};
    BYTE out[64] = {0};
    DWORD returned = 0;
    DWORD expected = (in_size != 0 && out_size != 0) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_PARAMETER;
    BOOL succeeded = DeviceIoControl(device, code, in_size ? in : NULL, in_size, out_size ? out : NULL, out_size,
                                     &returned, NULL);
    DWORD error = succeeded ? 0 : GetLastError();
    report(!succeeded && error == expected, "device-control",
           "code %08lX input %lu output %lu: %s, error %lu (expected %lu)", code, in_size, out_size,
           succeeded ? "succeeded" : "failed", error, expected);
}

/* requests: open and close, then control requests in every buffer combination and transfer method. */
static void exercise_requests(void) {
    static const DWORD codes[] = {
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_IN_DIRECT, FILE_ANY_ACCESS),
        0,
    };
    static const DWORD sizes[][2] = {{0, 0}, {16, 0}, {0, 16}, {16, 16}, {1, 64}};
    HANDLE device = open_device(DRIVER_PATH);
    report(device != INVALID_HANDLE_VALUE, "create", "open \\\\.\\HestrelTolvnae error %lu",
           device == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (device == INVALID_HANDLE_VALUE) {
        return;
    }
    report(CloseHandle(device), "close", "first handle");

    device = open_device(DRIVER_PATH);
    if (device == INVALID_HANDLE_VALUE) {
        report(FALSE, "create", "second open error %lu", GetLastError());
        return;
    }
    for (size_t code = 0; code < sizeof(codes) / sizeof(codes[0]); code++) {
        for (size_t size = 0; size < sizeof(sizes) / sizeof(sizes[0]); size++) {
            expect_control_error(device, codes[code], sizes[size][0], sizes[size][1]);
        }
    }
    report(CloseHandle(device), "close", "second handle");
}

/* no-device: after unload the device and its link are gone. */
static void expect_no_device(void) {
    HANDLE device = open_device(DRIVER_PATH);
    DWORD error = device == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    report(device == INVALID_HANDLE_VALUE, "no-device", "open \\\\.\\HestrelTolvnae: %s, error %lu",
           device == INVALID_HANDLE_VALUE ? "failed" : "succeeded", error);
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
    }
}

/* ---- the harness ---------------------------------------------------------------------------------------- */

/* bugcheck CODE P1 P2 P3 P4 (hexadecimal): the harness runs the registered callbacks as a bug check would. */
static void stage_bugcheck(char **words) {
    unsigned long long data[HARNESS_BUGCHECK_WORDS];
    DWORD returned = 0;
    for (int index = 0; index < HARNESS_BUGCHECK_WORDS; index++) {
        data[index] = strtoull(words[index], NULL, 16);
    }
    HANDLE harness = open_device(HARNESS_CLIENT_PATH);
    BOOL staged = harness != INVALID_HANDLE_VALUE &&
                  DeviceIoControl(harness, HARNESS_IOCTL_BUGCHECK, data, sizeof(data), NULL, 0, &returned, NULL);
    report(staged, "bugcheck", "code %llX error %lu", data[0], staged ? 0 : GetLastError());
    if (harness != INVALID_HANDLE_VALUE) {
        CloseHandle(harness);
    }
}

static void usage(void) {
    fprintf(stderr,
            "usage: hestolvane-wine-client STEP...\n"
            "steps: install NAME IMAGE GROUP | start NAME | stop NAME | set-dword NAME VALUE | show-registry |\n"
            "       requests | no-device | bugcheck CODE P1 P2 P3 P4\n");
    exit(2);
}

int main(int argc, char **argv) {
    for (int index = 1; index < argc;) {
        const char *step = argv[index];
        int left = argc - index - 1;
        if (!strcmp(step, "install") && left >= 3) {
            install_service(argv[index + 1], argv[index + 2], argv[index + 3]);
            index += 4;
        } else if ((!strcmp(step, "start") || !strcmp(step, "stop")) && left >= 1) {
            control_service(step, argv[index + 1], !strcmp(step, "start"));
            index += 2;
        } else if (!strcmp(step, "set-dword") && left >= 2) {
            set_dword(argv[index + 1], argv[index + 2]);
            index += 3;
        } else if (!strcmp(step, "show-registry")) {
            show_registry();
            index += 1;
        } else if (!strcmp(step, "requests")) {
            exercise_requests();
            index += 1;
        } else if (!strcmp(step, "no-device")) {
            expect_no_device();
            index += 1;
        } else if (!strcmp(step, "bugcheck") && left >= HARNESS_BUGCHECK_WORDS) {
            stage_bugcheck(&argv[index + 1]);
            index += 1 + HARNESS_BUGCHECK_WORDS;
        } else {
            usage();
        }
    }
    return failures ? 1 : 0;
}
