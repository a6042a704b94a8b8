#include "runtime/cancel_signal.hpp"

#include <new>

namespace veltrano::runtime {

CancelSender& CancelSender::operator=(CancelSender&& other) noexcept {
  if (this != &other) {
    drop();
    channel_ = std::move(other.channel_);
  }
  return *this;
}

CancelSender::~CancelSender() { drop(); }

bool CancelSender::abandoned_after_fork() noexcept {
  if (channel_->owning_process == ::getpid()) {
    return false;
  }
  // Leaked on purpose: releasing the last reference would run the waiting task's destructor.
  try {
    (void)std::make_unique<std::shared_ptr<detail::CancelChannel>>(std::move(channel_)).release();
  } catch (const std::bad_alloc&) {
    (void)std::move(channel_);  // out of memory: leave the reference in place instead
  }
  return true;
}

void CancelSender::drop() noexcept {
  if (!channel_ || abandoned_after_fork()) {
    return;
  }
  std::shared_ptr<TaskCore> dropped;
  {
    MutexLock lock(channel_->mutex);
    if (!channel_->sent.load(std::memory_order_relaxed)) {
      channel_->sender_gone = true;
      dropped = std::move(channel_->waiting_task);
    }
  }
  channel_.reset();
}

void CancelSender::send() {
  if (!channel_ || abandoned_after_fork()) {
    return;
  }
  std::shared_ptr<TaskCore> task;
  std::uint64_t scope = 0;
  {
    MutexLock lock(channel_->mutex);
    if (channel_->sent.load(std::memory_order_relaxed)) {
      return;
    }
    channel_->sent.store(true, std::memory_order_release);
    task = std::move(channel_->waiting_task);
    scope = channel_->waiting_scope;
  }
  if (task) {
    task->wake_scope(scope);
  }
}

CancelReceiver::State CancelReceiver::state() const {
  MutexLock lock(channel_->mutex);
  if (channel_->sent.load(std::memory_order_relaxed)) {
    return State::Sent;
  }
  return channel_->sender_gone ? State::SenderGone : State::Pending;
}

std::pair<CancelSender, CancelReceiver> make_cancel_signal() {
  auto channel = std::make_shared<detail::CancelChannel>();
  return {CancelSender(channel), CancelReceiver(channel)};
}

Task<bool> cancellable(Task<void> inner, CancelReceiver receiver) {
  if (receiver.state() == CancelReceiver::State::Sent) {
    co_return false;
  }
  const bool fired =
      co_await detail::CancellableAwaiter<void>(inner, detail::CancelAccess::channel(receiver));
  if (fired) {
    inner = Task<void>();
    co_return false;
  }
  detail::TaskAccess::handle(inner).promise().take();
  co_return true;
}

}  // namespace veltrano::runtime
