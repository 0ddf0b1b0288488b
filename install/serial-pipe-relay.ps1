<#
.SYNOPSIS
Relays a Hyper-V virtual machine's COM1 named pipe to TCP, so that hestolvane-lab on another machine
collects it as tcp://HOST:PORT.

.DESCRIPTION
Hyper-V connects a VM's COM1 to a named pipe (Set-VMComPort -VMName NAME -Number 1 -Path
\\.\pipe\NAME-com1) and serves that pipe itself; this script is its one client. It listens on a TCP port
and copies every byte read from the pipe to the collector connected at the time, as QEMU's
"-serial tcp:...,server,nowait" does: bytes that arrive while no collector is connected are dropped,
never queued. When the VM is off or restarts, the pipe goes away; the script opens it again every two
seconds. Stop it with Ctrl-C.

The pipe carries what a crashing machine writes: it is forwarded as bytes, never interpreted here.
Listen on loopback, or allow the port in Windows Firewall for the collector's address only.

.PARAMETER Pipe
The pipe's name without \\.\pipe\ (for example "lab-vm-3-com1").

.PARAMETER Port
The TCP port to listen on (for example 4555).

.PARAMETER Address
The address to listen on; 127.0.0.1 by default. Give the host's own address for a collector elsewhere.

.EXAMPLE
Set-VMComPort -VMName lab-vm-3 -Number 1 -Path \\.\pipe\lab-vm-3-com1
.\serial-pipe-relay.ps1 -Pipe lab-vm-3-com1 -Port 4555 -Address 192.0.2.10
#>
param(
    [Parameter(Mandatory = $true)][string]$Pipe,
    [Parameter(Mandatory = $true)][ValidateRange(1, 65535)][int]$Port,
    [string]$Address = '127.0.0.1'
)
$ErrorActionPreference = 'Stop'

$listener = [System.Net.Sockets.TcpListener]::new([System.Net.IPAddress]::Parse($Address), $Port)
$listener.Start()
Write-Host "relaying \\.\pipe\$Pipe to tcp://${Address}:$Port"
$collector = $null
$buffer = New-Object byte[] 4096

try {
    while ($true) {
        $source = [System.IO.Pipes.NamedPipeClientStream]::new('.', $Pipe, [System.IO.Pipes.PipeDirection]::In)
        try {
            $source.Connect(2000)
        } catch [System.TimeoutException] {
            $source.Dispose()
            continue
        } catch [System.IO.IOException] {
            $source.Dispose()
            Start-Sleep -Seconds 2
            continue
        }
        Write-Host "pipe open"
        $reading = $source.ReadAsync($buffer, 0, $buffer.Length)
        while ($true) {
            # A new collector replaces the old one, as a serial server takes one client at a time.
            if ($listener.Pending()) {
                if ($collector) { $collector.Dispose() }
                $collector = $listener.AcceptTcpClient()
                $collector.NoDelay = $true
                Write-Host "collector connected from $($collector.Client.RemoteEndPoint)"
            }
            if (-not $reading.Wait(200)) { continue }
            $count = $reading.Result
            if ($count -le 0) { break }
            if ($collector) {
                try {
                    $collector.GetStream().Write($buffer, 0, $count)
                } catch [System.IO.IOException] {
                    Write-Host "collector went away"
                    $collector.Dispose()
                    $collector = $null
                }
            }
            $reading = $source.ReadAsync($buffer, 0, $buffer.Length)
        }
        Write-Host "pipe closed (the VM stopped or restarted); waiting for it"
        $source.Dispose()
    }
} finally {
    if ($collector) { $collector.Dispose() }
    $listener.Stop()
}
