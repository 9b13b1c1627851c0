#pragma once
// A list that costs one pointer while it is empty: for what only a few
// channels have (alarm triggers and their runtime state), so that the many
// channels without do not carry a vector each.
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace cds {
namespace store {
namespace detail {

template <typename T>
class RareList {
 public:
  RareList() = default;
  RareList(const RareList& other) { *this = other.view(); }
  RareList& operator=(const RareList& other) {
    if (this != &other) *this = other.view();
    return *this;
  }
  RareList(RareList&&) noexcept = default;
  RareList& operator=(RareList&&) noexcept = default;
  RareList& operator=(std::vector<T> list) {
    if (list.empty())
      items_.reset();
    else
      items_ = std::make_unique<std::vector<T>>(std::move(list));
    return *this;
  }

  const std::vector<T>& view() const {
    static const std::vector<T> none;
    return items_ ? *items_ : none;
  }
  operator const std::vector<T>&() const { return view(); }  // NOLINT: reads as the list it is
  // The list to change in place; makes it when there is none.
  std::vector<T>& edit() {
    if (!items_) items_ = std::make_unique<std::vector<T>>();
    return *items_;
  }

  std::size_t size() const { return items_ ? items_->size() : 0; }
  bool empty() const { return size() == 0; }
  const T& operator[](std::size_t i) const { return (*items_)[i]; }
  T& operator[](std::size_t i) { return (*items_)[i]; }
  typename std::vector<T>::const_iterator begin() const { return view().begin(); }
  typename std::vector<T>::const_iterator end() const { return view().end(); }
  T* begin() { return items_ ? items_->data() : nullptr; }
  T* end() { return items_ ? items_->data() + items_->size() : nullptr; }
  void push_back(T item) { edit().push_back(std::move(item)); }

  friend bool operator==(const std::vector<T>& a, const RareList& b) { return a == b.view(); }

 private:
  std::unique_ptr<std::vector<T>> items_;
};

}  // namespace detail
}  // namespace store
}  // namespace cds
