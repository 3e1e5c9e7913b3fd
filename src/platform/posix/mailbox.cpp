#include "platform/posix/mailbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace audiotap::platform::posix {

void openPipe(int (&ends)[2]) {
  // pipe2() would do this in one call, but macOS lacks it.
  if (::pipe(ends) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  for (const int fd : ends) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

Mailbox::Mailbox() : head_(new Node), tail_(head_.load()) { openPipe(wakeEnds_); }

Mailbox::~Mailbox() {
  for (Node* node = tail_; node != nullptr;) {
    Node* next = node->next.load(std::memory_order_acquire);
    delete node;
    node = next;
  }
  ::close(wakeEnds_[0]);
  ::close(wakeEnds_[1]);
}

void Mailbox::post(std::function<void()> task) {
  Node* node = new Node;
  node->task = std::move(task);
  // Between the exchange and the link the taker sees head_ != tail_ but no
  // next node; pending() then keeps it from sleeping until the link lands.
  Node* previous = head_.exchange(node);
  previous->next.store(node, std::memory_order_release);
  if (asleep_.exchange(false)) {
    const char byte = 0;
    // A full pipe already holds a wake-up, so EAGAIN loses nothing.
    [[maybe_unused]] const auto written = ::write(wakeEnds_[1], &byte, 1);
  }
}

std::function<void()> Mailbox::take() {
  Node* next = tail_->next.load(std::memory_order_acquire);
  if (next == nullptr) return {};
  std::function<void()> task = std::move(next->task);
  next->task = nullptr;
  delete tail_;
  tail_ = next;
  return task;
}

bool Mailbox::pending() const { return head_.load() != tail_; }

bool Mailbox::prepareToSleep() {
  // Pairs with post(): either the poster sees asleep_ set and writes to the
  // pipe, or this load sees its node.
  asleep_.store(true);
  if (!pending()) return true;
  asleep_.store(false);
  return false;
}

void Mailbox::awake(bool wakeFdReadable) {
  asleep_.store(false);
  if (!wakeFdReadable) return;
  char bytes[64];
  while (::read(wakeEnds_[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace audiotap::platform::posix
