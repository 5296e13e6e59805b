// The scenario format as panelsim --help explains it, with every verb's bytes.
#include "duration.h"
#include "scenario.h"

namespace panelsim {

std::string ScenarioFormatHelp() {
  return R"(Scenario format
  One event per line; '#' starts a comment; blank lines are ignored.

    at TIME VERB [ARGS]      due TIME after the scenario clock starts
    at poll N VERB [ARGS]    due when the N-th poll (1 = the first) arrives,
                             before it is answered
    clock start              the scenario clock starts with the run (default)
    clock first-poll         the scenario clock starts with the first poll

  TIME is a number with a unit, )" + toolbox::DurationUnits() + R"(: 1.5s, 250ms, .5s, 2m, 0s.
  Events may come in any order and both styles may be mixed; events due
  together happen in text order.
  ZONE, FIRST and LAST are zone numbers from -32768 to 32512. A BYTE or STATE
  is 0..255, 0xHH, or one letter standing for its character code (A = 0x41).

  The host reads message bytes m0..m5 as signed bytes and a number from a low
  byte L and a high byte H as s(L) + s(H) * 255; zone numbers are encoded so
  that they decode right: zone 260 is L=05 H=01, zone 200 is L=c9 (-55) H=01.

Messages (queued; each poll is answered with the oldest one until the host ACKs
it, and with EOT when none waits):
  element-state ZONE ELEMENT STATE
                m0='0' (30) m1=STATE m2=00 m3/m4=ZONE m5=00
  element-event ZONE ELEMENT [STATE]
                m0='1' (31) m1=STATE (default 0) m2=00 m3/m4=ZONE m5=00
                The host takes the element number from m3, the zone's low byte,
                so ELEMENT must be that byte's signed value: ZONE = ELEMENT +
                255 * H for some H in -128..127 (zone 12 element 12, zone 260
                element 5, zone 200 element -55).
  zone-alarm ZONE [KIND]
                m0='3' (33) m1=KIND: 1 (default) or 7, m2=00 m3/m4=ZONE m5=00
  alarm-range FIRST LAST [KIND]
                m0='3' (33) m1=KIND: 4 (default) or 9, m2/m3=FIRST m4/m5=LAST
                (FIRST <= LAST)
  zone-fault ZONE
                m0='7' (37) m1=01 m2=00 m3/m4=ZONE m5=00
  fault-range FIRST LAST
                m0='7' (37) m1=03 m2/m3=FIRST m4/m5=LAST (FIRST <= LAST)
  command-rejected CODE TYPE
                m0='<' (3c) m1=00 m2=CODE m3=TYPE m4=00 m5=00
  zone-report ZONE
                m0='=' (3d) m1=00 m2=00 m3/m4=ZONE m5=00
  status TYPE [STATE]
                m0=TYPE, one of 2 4 5 6 8 9 : ; (the types that carry no
                zone), as the character or its code (5, 53 or 0x35),
                m1=STATE (default 0), m2..m5=00
  raw HEX [HEX ...]
                m0..m5 as given, 1 to 6 hex bytes (with or without 0x),
                missing ones 00; framed like every message

Faults (each waits for the next poll or command; faults queue up in order):
  silent [POLLS]          the next POLLS polls (default 1) get no answer
  garbage LENGTH [FIRST]  the next poll is answered with LENGTH (1..64) bytes of
                          noise; the first is FIRST, by default a byte that is
                          not STX, EOT or ACK. The waiting message stays queued.
  short-frame [LENGTH]    the next reply frame is cut to LENGTH (1..8, default 5)
                          bytes
  long-frame [LENGTH]     the next reply frame is LENGTH (21..255, default 24)
                          bytes, more than the host's 20-byte receive area: the
                          host reads it until the line falls silent and throws
                          away what came after its first 20 bytes
  dribble GAP             the next reply frame goes out with GAP of silence
                          between its bytes (make it longer than the host's
                          read timeout to cut the reply)
  command-reply BYTE      the next command is answered with BYTE instead of ACK
  command-silent [N]      the next N commands (default 1) get no answer
  A short, long or dribbled frame carries the waiting message (or a status
  message '2' when none waits); the host's ACK after it retires the message as
  it would a whole frame.

Run:
  hangup [DELAY]          close the line now; the host sees a hang-up. With a
                          DELAY the panel comes back on a new line (a new pty,
                          re-pointing --link; or the device reopened); without
                          one the run ends.
  end                     end the run

Example:
  clock first-poll
  at 1s zone-alarm 12
  at poll 3 silent 2
  at 2.5s alarm-range 20 24
  at 4s dribble 300ms
  at 4s zone-fault 7
  at 10s end
)";
}

}  // namespace panelsim
