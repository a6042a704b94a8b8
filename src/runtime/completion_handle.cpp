#include "runtime/completion_handle.hpp"

#include <cstdio>

namespace veltrano::runtime {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at text[pos]; advances pos. Malformed input gives U+FFFD and
// consumes one byte, so decoding always makes progress.
char32_t decode_one(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + length > text.size()) {
    ++pos;
    return kReplacement;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += length;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string quote_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = decode_one(text, pos);
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          char buffer[16];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(cp));
          out += buffer;
        } else {
          append_utf8(out, cp);
        }
    }
  }
  out += '"';
  return out;
}

std::string AbnormalEnd::text() const {
  std::string out = "task " + std::to_string(task_id);
  if (kind == Kind::Cancelled) {
    return out + " was cancelled";
  }
  if (message) {
    return out + " panicked with message " + quote_escaped(*message);
  }
  return out + " panicked";
}

AbnormalEnd AbnormalEnd::from_exception(std::uint64_t task_id, std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const Fault& fault) {
    return AbnormalEnd{Kind::Panicked, task_id, fault.message()};
  } catch (const std::exception& e) {
    return AbnormalEnd{Kind::Panicked, task_id, std::string(e.what())};
  } catch (...) {
    return AbnormalEnd{Kind::Panicked, task_id, std::nullopt};
  }
}

bool CompletionBase::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool CompletionBase::register_waker(Waker waker) {
  std::lock_guard lock(mutex_);
  if (finished_) {
    return false;  // `waker` is dropped after the lock is released
  }
  waker_ = std::move(waker);
  return true;
}

void CompletionBase::clear_waker() {
  Waker dropped;
  std::lock_guard lock(mutex_);
  dropped = std::move(waker_);
}

void CompletionBase::wait_finished() {
  std::unique_lock lock(mutex_);
  ++blocking_waiters_;
  cv_.wait(lock, [&] { return finished_; });
  --blocking_waiters_;
}

void CompletionBase::publish() {
  Waker waker;
  bool notify = false;
  {
    std::lock_guard lock(mutex_);
    if (finished_) {
      return;
    }
    if (!has_outcome_locked()) {
      store_cancelled_locked();
    }
    finished_ = true;
    waker = std::move(waker_);
    notify = blocking_waiters_ > 0;
    core_.reset();
  }
  if (notify) {
    cv_.notify_all();
  }
  if (waker) {
    std::move(waker).wake();
  }
}

void CompletionBase::cancel() {
  if (is_job_) {
    int expected = kQueued;
    if (job_phase_.compare_exchange_strong(expected, kCancelled, std::memory_order_acq_rel)) {
      publish();
    }
    return;
  }
  std::shared_ptr<TaskCore> core;
  {
    std::lock_guard lock(mutex_);
    core = core_.lock();
  }
  if (core) {
    core->request_cancel();
  }
}

void CompletionBase::attach_core(std::weak_ptr<TaskCore> core) {
  std::lock_guard lock(mutex_);
  if (!finished_) {
    core_ = std::move(core);
  }
}

bool CompletionBase::try_start_job() noexcept {
  int expected = kQueued;
  return job_phase_.compare_exchange_strong(expected, kStarted, std::memory_order_acq_rel);
}

}  // namespace veltrano::runtime
