// zemhost's help: our own text, since it explains the run, the outputs, the
// config file and the exit statuses in prose that no generated option list
// would hold.
#include "cli/options.h"

namespace zemhost {

void PrintHelp(std::FILE *out, const char *module_file_name) {
  std::fprintf(out,
               R"(usage: zemhost [OPTIONS]
       zemhost --config FILE [OPTIONS]

A host for the VUZOV fire-panel driver on the bench. zemhost loads the driver
module (%s) as a SCADA host does, provides the host runtime
library, starts one driver instance per serial line, polls the panel and
shows what it reports: gate values, the driver's log lines and the result of
every exchange.
With no port given (neither --port nor a config file names one) it plays the
built-in demo panel on a pty, so it runs with no hardware at all; every output
of a run with a simulated panel says so (SIMULATED PANEL). An empty value is
refused, so an unset variable in --port "$PORT" never starts the demo.

Lines and panels (one instance; use --config for several):
  --port NAME          the port as the driver names it: COM1 (/dev/ttyS0 on
                       Linux), ttyUSB0 (/dev/ttyUSB0), pts/3, or an absolute
                       path; at most 11 characters
  --simulate SCENARIO  play a simulated panel on a pty instead (Linux only):
                       a scenario file (see panelsim --help for the format) or
                       "demo", the built-in demo; the default when no port
                       is given
  --baud N             line rate (default: the driver's, 9600)
  --data-bits N        5 to 8 (default: the driver's, 8)
  --parity P           none, odd, even, mark or space (default: the driver's)
  --stop-bits S        1, 1.5 or 2 (default: the driver's)
  --timeout N          read timeout in units of 10 ms (default 10 = 100 ms); a
                       reply ends after one timeout of silence
  --dtr MODE           on, off or handshake   (the state block's flags word,
  --rts MODE           on, off, handshake or   which the driver applies when it
                       toggle                  reopens the port; default off)
  --flags WORD         the flags word itself, e.g. 0x0101
  --panel N            panel number 0 to 8 (default 1): the default point
                       CP<N>Z1 and the default gates
  --point ADDR         a point to poll, e.g. CP1Z1 (repeatable; each is
                       checked by the driver before the run, and the panel
                       number the driver reads from it names its gates)
  --send ADDR[@TIME]   send a panel command: CP1A! acknowledge, CP1R! reset,
                       CP1S! silence; at TIME after the start (15s), or at once.
                       A TIME that --for ends the run before is refused.
                       Repeatable; with --config it goes to the first instance.
                       Without --polls or --for, zemhost sends, reports and
                       ends without polling (exit 1 when the panel did not
                       acknowledge)

Gates (the host's named values the driver stores into):
  --gates FILE         one gate name a line, e.g. CP1Z12: up to 37 printable
                       characters without spaces; blank lines and '#'
                       comments are skipped. A bad line is FILE:LINE, exit 2
  --discover           create every gate the driver asks for, so the table
                       shows every zone and element the panel reports; with
                       --gates, the list's gates and these
  default              CP<p>MS, CP<p>ST and CP<p>Z1 to CP<p>Z255 for each
                       panel number p of the points

The run:
  --interval TIME      between two polls of an instance (default 200ms); each
                       instance polls its points in turn on its own thread
  --polls N            end after N polls of every instance (1 to 2^64 - 1)
  --for TIME           end after TIME (e.g. 30s); otherwise run until Ctrl-C
  --reopen-after N     close and reopen the port after N failed polls in a row
                       (default 3, 0 never)
  --link-failures N    the panel link is down after N exchanges in a row
                       failed (default 3, 1 to 1000)
  --link-silence TIME  ... or after TIME without an answered exchange
                       (default 5s; longer than --interval), even while a
                       poll still waits in the driver; up again with the next
                       answer, unknown until the first. Every output shows
                       the link and its changes; an [instance] of a config
                       file may set both for itself
  --module PATH        the driver module: the file PATH names, from the
                       working directory even without a folder; the run's
                       header shows the file loaded (default: %s
                       beside zemhost, else where the package installs it)
  --config FILE        read the instances from FILE (below)
  --selfcheck          at the end, check that no descriptor or thread is left
                       and exit 1 if one is
  --version            print zemhost's version and exit

  TIME is a number with ms, s, m or min (250ms, 1.5s, 2m), or a bare number of
  seconds (30), up to 1000000000s.

Output:
  on a terminal        a live table of the gates the panel has reported, with
                       their last change time (changes highlighted), a status
                       line per instance (the link, exchanges, failures,
                       last result; highlighted while the link is down),
                       commands and the latest log lines. Keys: a acknowledge,
                       s silence, r reset (sent to every instance), q quit
  otherwise, --lines   one line per event, seconds since the start first
                       (after a SIMULATED PANEL line when one is simulated):
                         2.104 CP1Z3 = 1
                         2.104 log 0 ZODODA> ...
                         9.310 instance 1 read CP1Z1 failed: result 2
                         9.811 instance 1 link down: 3 failed exchanges in...
                        15.002 instance 1 command CP1S! acknowledged
  --json               one JSON object per line and event: "driver",
                       "instance", "gate", "log", "exchange" (every poll),
                       "command", "link", "trace", "notice" and "end"; each
                       has "t", seconds since the start with three
                       decimals, and "instance" says "simulated": true or
                       false
  --trace              every frame on the line, in hex with its time:
                       [05] sent by the driver, <02 01 ...> sent by the panel.
                       With --simulate from the simulated panel; on a real
                       port zemhost opens and claims the device itself, as the
                       driver does, and relays the driver's traffic through a
                       pty (Linux only; not NUL, which has no line). A trace
                       is a stream of lines: it implies --lines on a terminal
  the journal          when JOURNAL_STREAM names standard error (systemd),
                       with neither --lines nor --json: one line per event
                       there, its syslog level first and no seconds:
                         <5>CP1Z3 = 1
  output errors        standard output that cannot be written (a full disk)
                       ends the run by its shutdown, with the reason on
                       standard error and exit 1; a reader that goes away
                       (zemhost | head -1) ends it at once and quietly, by
                       SIGPIPE as other tools end (a shell sees 141)

Config file (--config): 'key = value' lines, '#' comments. Before the first
section: module, gates, discover, interval, polls, for, reopen-after,
link-failures, link-silence, reset-message. Each [instance] section is one
driver instance with the keys port, simulate, baud, data-bits, parity,
stop-bits, timeout, dtr, rts, flags, panel, point (repeatable), send
(repeatable) and its own link-failures, link-silence and reset-message, named
and valued as the flags. A [message-types] section, after the run's keys or
after an instance's, says what the panel's message types mean for the run or
for that instance (TYPE[/STATE] = alarm, fault, report or other; TYPE is the
character, 3, or its code, 51 or 0x33); reset-message = TYPE[/STATE] names
the message the panel reports a reset made at its front panel with. Example:

  interval = 250ms
  discover = yes
  [instance]
  port = ttyUSB0
  panel = 1
  point = CP1Z1
  [instance]
  port = ttyUSB1
  panel = 2
  point = CP2Z1
  send = CP2S!@10s
  [message-types]
  3 = alarm
  7 = fault

A relative path in the file (simulate, gates, module, mqtt-password-file,
mqtt-cafile) is taken from the file's folder; a UTF-8 byte-order mark is
allowed. A bad line is reported as FILE:LINE: message, a conflict at the key
that makes it one. A directory given as a file is refused.

Ending: --for, --polls, q or Ctrl-C (SIGINT, SIGTERM, SIGHUP; on Windows
also the console's close and logoff) stop the polling; then zemhost posts to
the driver's waiting threads, waits for their "ShutDown !" lines, closes every
port, ends the driver (EndZem), unloads it and exits. The driver's waiting
thread takes no message in its first second, so even --polls 1 or --for 0s
lasts about a second. The shutdown waits for a poll in progress, which may
take three read timeouts: a second Ctrl-C or stop signal meanwhile, a second
or more after the first, ends zemhost at once, without the driver's shutdown,
naming on standard error the instances still inside a driver call, with exit
128 + the signal's number (130 for Ctrl-C, 143 for SIGTERM). A stop that
arrives again within that second (timeout and a closed terminal send theirs
twice) is the same stop.

Under systemd (the unit vuzov-gateway@.service) no flag is needed: with
NOTIFY_SOCKET set zemhost says READY=1 once every instance has started,
STATUS= with each instance's link and STOPPING=1 at its shutdown, and with
WATCHDOG_USEC pings the watchdog while every poller keeps its pace.

Exit status:
  0  the run ended cleanly
  1  a sent command was not acknowledged (send-only runs), the driver failed
     to start its thread or did not shut down cleanly, --selfcheck found
     something left behind, or standard output could not be written
  2  a bad or empty flag value, config line, scenario, gate list or point
     address (the driver's own log line is shown), a file that is a
     directory, or a timed send that --for ends the run before
  3  the driver module cannot be loaded
  4  a port did not open (the driver's log lines are shown), or another
     program (a host, or another zemhost) holds the line
  5  an output cannot start: the MQTT gateway or the Modbus TCP server
     (below)
  6  the polling ran but no poll of some instance was ever answered (no
     panel on the line, or the wrong port or line settings); the instance
     is named on standard error
)",
               module_file_name, module_file_name);
  std::fputs(kMqttHelp, out);
  std::fputs(kModbusHelp, out);
}

}  // namespace zemhost
