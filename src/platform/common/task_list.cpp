#include "platform/common/task_list.h"

#include <utility>

namespace audiotap::platform::common {

TaskList::TaskList() : head_(new Node), tail_(head_.load()) {}

TaskList::~TaskList() {
  for (Node* node = tail_; node != nullptr;) {
    Node* next = node->next.load(std::memory_order_acquire);
    delete node;
    node = next;
  }
}

bool TaskList::post(std::function<void()> task) {
  Node* node = new Node;
  node->task = std::move(task);
  // Between the exchange and the link the taker sees head_ != tail_ but no
  // next node; pending() then keeps it from sleeping until the link lands.
  Node* previous = head_.exchange(node);
  previous->next.store(node, std::memory_order_release);
  return asleep_.exchange(false);
}

std::function<void()> TaskList::take() {
  Node* next = tail_->next.load(std::memory_order_acquire);
  if (next == nullptr) return {};
  std::function<void()> task = std::move(next->task);
  next->task = nullptr;
  delete tail_;
  tail_ = next;
  return task;
}

bool TaskList::pending() const { return head_.load() != tail_; }

bool TaskList::prepareToSleep() {
  // Pairs with post(): either the poster sees asleep_ set and wakes the
  // taker, or this load sees its node.
  asleep_.store(true);
  if (!pending()) return true;
  asleep_.store(false);
  return false;
}

void TaskList::awake() { asleep_.store(false); }

}  // namespace audiotap::platform::common
