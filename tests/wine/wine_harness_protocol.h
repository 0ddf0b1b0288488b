/* What the Wine test harness driver, the Win32 test client and the runner agree on: names, the control
 * code that stages a bug check, and where the harness leaves its captures. C and C++ alike. */
#ifndef HESTOLVANE_WINE_HARNESS_PROTOCOL_H
#define HESTOLVANE_WINE_HARNESS_PROTOCOL_H

/* The harness's own device, next to the driver's \Device\HestrelTolvnae. */
#define HARNESS_DEVICE_NAME u"\\Device\\HesTolvaneWineHarness"
#define HARNESS_LINK_NAME u"\\DosDevices\\HesTolvaneWineHarness"
#define HARNESS_CLIENT_PATH L"\\\\.\\HesTolvaneWineHarness"

/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS). Input: the bug-check code and its
 * four parameters, five unsigned 64-bit words; no output. Fails with STATUS_NOT_FOUND (Win32 1168) when
 * no bug-check callback is registered. */
#define HARNESS_IOCTL_BUGCHECK 0x00222403u
#define HARNESS_BUGCHECK_WORDS 5

/* Every byte written to the COM1 data port, in order, and one line per event the harness saw. Never
 * named com1-anything: on Windows such a name is the serial port itself. */
#define HARNESS_CAPTURE_PATH u"C:\\hestolvane\\uart-capture.bin"
#define HARNESS_EVENTS_PATH u"C:\\hestolvane\\harness-events.txt"

#endif
