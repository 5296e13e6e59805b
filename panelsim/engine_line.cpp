// The line: opening it and bringing it back, hang-ups, and the pacing of every
// byte the panel reads and writes at the line's rate.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "engine.h"

namespace panelsim {
namespace {

constexpr std::size_t kReadChunk = 256;

}  // namespace

// ---- The line ---------------------------------------------------------------

bool Simulator::Engine::OpenLine(TimePoint now, std::string *error) {
  if (!Line::Open(settings_, &line_, error)) return false;
  if (!options_.link.empty() && !link_.Point(options_.link, line_.path(), error)) {
    line_.Close();
    return false;
  }
  line_free_at_ = now;
  input_free_at_ = now;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->line_path = line_.path();
    ++shared_->stats.lines_opened;
    shared_->changed.notify_all();
  }
  Emit(TraceEvent::Kind::kLineOpened, {}, now, line_.path());
  return true;
}

void Simulator::Engine::ReopenIfDue(TimePoint now) {
  if (!reopen_at_ || now < *reopen_at_) return;
  reopen_at_.reset();
  std::string error;
  if (!OpenLine(now, &error)) EndWithError(now, "cannot bring the line back: " + error);
}

void Simulator::Engine::HangUp(const std::optional<Duration> &return_after, TimePoint now) {
  if (!line_.is_open()) return;
  // A device that goes away takes its names with it, before it is gone: once
  // the pty is closed its number is free for the next line anyone makes, and a
  // host reopening through a link that still named it would open a stranger's
  // line.
  link_.Remove();
  Note(now, "hangup");
  if (outgoing_ && outgoing_->written > 0 && outgoing_->written < outgoing_->bytes.size()) {
    Note(now, "the hangup cut the reply after " + std::to_string(outgoing_->written) + " of " +
                  std::to_string(outgoing_->bytes.size()) + " bytes");
  }
  line_.Close();
  EndReply();
  inbound_.clear();
  command_deadline_.reset();
  messages_.StopAwaiting();
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->line_path.clear();
    ++shared_->stats.hangups;
    shared_->changed.notify_all();
  }
  if (return_after) {
    reopen_at_ = now + *return_after;
  } else {
    ended_ = true;
  }
}

std::size_t Simulator::Engine::ReadInput(TimePoint now) {
  std::uint8_t buffer[kReadChunk];
  std::size_t total = 0;
  for (;;) {
    const ssize_t got = read(line_.fd(), buffer, sizeof buffer);
    if (got > 0) {
      for (ssize_t i = 0; i < got; ++i) {
        const TimePoint whole = paces_input_ ? std::max(now, input_free_at_) + byte_time_ : now;
        input_free_at_ = whole;
        inbound_.push_back({buffer[i], now, whole});
      }
      Count([got](Stats &stats) { stats.bytes_received += static_cast<std::uint64_t>(got); });
      total += static_cast<std::size_t>(got);
      if (static_cast<std::size_t>(got) < sizeof buffer) return total;
      continue;
    }
    const int saved = errno;
    if (got < 0 && saved == EINTR) continue;
    if (got < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) return total;
    // The far side is gone: a device unplugged or its pty closed.
    EndWithError(now, got == 0 ? std::string("the line was hung up")
                               : ErrnoText("cannot read from the line", saved));
    return total;
  }
}

void Simulator::Engine::SendDueBytes(TimePoint now) {
  while (!ended_ && outgoing_ && !outgoing_->blocked && outgoing_->due <= now) {
    WriteOneByte(now);
  }
}

void Simulator::Engine::WriteOneByte(TimePoint now) {
  Outgoing &out = *outgoing_;
  if (out.written == out.bytes.size()) {  // a dribble's quiet after its last byte is over
    EndReply();
    return;
  }
  const std::uint8_t byte = out.bytes[out.written];
  const ssize_t written = write(line_.fd(), &byte, 1);
  if (written != 1) {
    const int saved = errno;
    if (written < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) {
      out.blocked = true;
    } else if (!(written < 0 && saved == EINTR)) {
      EndWithError(now, ErrnoText("cannot write to the line", saved));
    }
    return;
  }
  if (out.written == 0) {
    if (out.carries_message) messages_.OnLine(now);
    Emit(TraceEvent::Kind::kSent, out.bytes, now, out.note);
  }
  ++out.written;
  line_free_at_ = std::max(out.due, now);
  Count([](Stats &stats) { ++stats.bytes_sent; });
  if (out.written == out.bytes.size() && !out.keep_gaps) {
    if (out.quiet_after <= Duration::zero()) {
      EndReply();
      return;
    }
    // A spoilt reply keeps the line quiet after it, measured from its last
    // byte as actually written, so that an answer to requests that piled up
    // meanwhile never runs on from it as one frame.
    out.due = Clock::now() + byte_time_ + out.quiet_after;
    return;
  }
  // Deadlines are absolute, so a late wake-up does not push the rest of the
  // reply back; a dribble measures each gap from the byte actually written,
  // and the one after its last byte too: a line that slow is slow for the
  // panel's next answer as well, and the requests that reach the panel before
  // it can answer again pile up behind the dribbled reply. Sent straight after
  // it, the next answer would run on from the reply's last byte, and a host
  // still reading the reply would take the two for one frame.
  out.due = out.keep_gaps ? Clock::now() + out.spacing : out.due + out.spacing;
}

void Simulator::Engine::EndReply() {
  outgoing_.reset();
  Count([](Stats &stats) { stats.replying = false; });
}

void Simulator::Engine::StartReply(std::vector<std::uint8_t> bytes, Duration gap,
                                   const std::string &note, TimePoint now) {
  Outgoing out;
  out.bytes = std::move(bytes);
  out.spacing = byte_time_ + gap;
  out.keep_gaps = gap > Duration::zero();
  // The first byte is on the wire one byte time after the line is free.
  out.due = std::max(now, line_free_at_) + byte_time_;
  out.note = note;
  outgoing_ = std::move(out);
  Count([](Stats &stats) { stats.replying = true; });
}

}  // namespace panelsim
