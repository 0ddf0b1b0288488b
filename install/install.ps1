<#
.SYNOPSIS
Installs HesTolvaneDrv.sys as the kernel service HesTolvaneDrv.

.DESCRIPTION
Copies the signed image to System32\drivers and creates the service. Run it from an elevated PowerShell
on a machine in test-signing mode (the image carries a test signature), with COM1 free of the kernel
debugger and of Emergency Management Services.

The start type decides which crashes are reported and whether the driver's crash guard holds. The guard
is a "Loaded" marker in the service key, written and flushed just before the driver walks the loaded
modules at start-up: a boot that crashes in that walk leaves the marker, and the boots after it skip the
walk.

At system start (the default) or boot start, the driver starts while the kernel initialises its drivers,
so the crashes of drivers that start after it are reported. But Microsoft's documentation does not say
that a registry flush reaches the disk that early in boot (the Session Manager finishes initialising the
registry only afterwards). If it does not, a crash in the walk loses the marker and may repeat on every
boot.

At automatic start, the service control manager starts the driver once the registry is fully
initialised, so the marker is expected to survive a crash; but a crash before the driver starts, in any
boot- or system-start driver, is not reported.

To recover from a crash on every boot: boot into safe mode (after two failed boots Windows normally opens
its recovery environment: Troubleshoot, Advanced options, Startup Settings, Restart, 4), where the driver
refuses to start; run uninstall.ps1 from an elevated PowerShell; restart. Install again with
-StartType auto to keep using the driver on that machine.

.PARAMETER Image
The signed image to install; by default HesTolvaneDrv.sys next to this script.

.PARAMETER StartType
When Windows starts the driver:
system  (default) during kernel initialisation, by the I/O manager: reports crashes of the drivers that
        start after it; the crash guard may not survive a crash this early (see the description).
boot    by the boot loader, earlier still: the same trade-off as system.
auto    by the service control manager, once the registry is fully initialised: the crash guard's
        marker is expected to survive, but crashes before the driver starts are not reported.
demand  only when started with `sc.exe start HesTolvaneDrv` (or -StartNow).

.PARAMETER StartNow
Start the service right away instead of at the next boot.

.EXAMPLE
install.ps1
Installs the image next to the script with system start; it starts at the next boot.

.EXAMPLE
install.ps1 -StartType auto -StartNow
Installs with automatic start, where the crash guard holds, and starts the driver now.
#>
param(
    [string]$Image = (Join-Path $PSScriptRoot 'HesTolvaneDrv.sys'),
    [ValidateSet('boot', 'system', 'auto', 'demand')]
    [string]$StartType = 'system',
    [switch]$StartNow
)

$ErrorActionPreference = 'Stop'

$principal = New-Object Security.Principal.WindowsPrincipal([Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    throw 'Run this script from an elevated PowerShell.'
}
if (-not (Test-Path -LiteralPath $Image)) {
    throw "No driver image at $Image"
}

$target = Join-Path $env:SystemRoot 'System32\drivers\HesTolvaneDrv.sys'
Copy-Item -LiteralPath $Image -Destination $target -Force

& sc.exe create HesTolvaneDrv type= kernel start= $StartType error= normal `
    binPath= 'System32\drivers\HesTolvaneDrv.sys' DisplayName= 'HesTolvane crash report writer'
if ($LASTEXITCODE -ne 0) {
    throw "sc.exe create failed with exit code $LASTEXITCODE (is the service already installed?)"
}
& sc.exe description HesTolvaneDrv 'Writes a plain-text crash report to COM1 when the system bug-checks.' | Out-Null

if ($StartNow) {
    & sc.exe start HesTolvaneDrv
    if ($LASTEXITCODE -ne 0) {
        throw "sc.exe start failed with exit code $LASTEXITCODE (test signing on? COM1 free?)"
    }
}
Write-Host "HesTolvaneDrv installed ($StartType start) at $target"
