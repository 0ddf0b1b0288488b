# Removes the HesTolvaneDrv service and its image. Run from an elevated PowerShell.
$ErrorActionPreference = 'Stop'

$principal = New-Object Security.Principal.WindowsPrincipal([Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    throw 'Run this script from an elevated PowerShell.'
}

# Stopping fails harmlessly when the service is not running.
& sc.exe stop HesTolvaneDrv | Out-Null
& sc.exe delete HesTolvaneDrv
if ($LASTEXITCODE -ne 0) {
    throw "sc.exe delete failed with exit code $LASTEXITCODE"
}

# A driver that is still loaded keeps its image open until the next boot.
$target = Join-Path $env:SystemRoot 'System32\drivers\HesTolvaneDrv.sys'
if (Test-Path -LiteralPath $target) {
    Remove-Item -LiteralPath $target -Force -ErrorAction SilentlyContinue
    if (Test-Path -LiteralPath $target) {
        Write-Warning "$target is still in use; delete it after the next boot."
    }
}
Write-Host 'HesTolvaneDrv uninstalled.'
