# Installs HesTolvaneDrv.sys as the kernel service HesTolvaneDrv. Run from an elevated PowerShell on a
# machine in test-signing mode (the image carries a test signature).
param(
    # The signed image to install; by default the one next to this script.
    [string]$Image = (Join-Path $PSScriptRoot 'HesTolvaneDrv.sys'),
    # When the kernel starts the driver. "system" loads it early in boot, so that crashes of drivers loaded
    # after it are reported with their modules; "demand" leaves starting it to `sc.exe start HesTolvaneDrv`.
    [ValidateSet('boot', 'system', 'auto', 'demand')]
    [string]$StartType = 'system',
    # Start the service right away instead of at the next boot.
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
