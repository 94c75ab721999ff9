// VGS_List: doubly linked list; VGS_Queue: first in, first out on top of it.
#pragma once

#include <cstddef>
#include <iterator>
#include <new>

#include "foundation/error_codes.h"
#include "foundation/exception.h"

template <class T>
class VGS_List;

template <class T>
class VGS_Node {
 public:
  explicit VGS_Node(const T& value) : value_(value), next_(nullptr), prev_(nullptr) {}
  virtual ~VGS_Node() {}

  T& value() { return value_; }
  const T& value() const { return value_; }
  VGS_Node* next() const { return next_; }
  VGS_Node* prev() const { return prev_; }

 private:
  friend class VGS_List<T>;
  T value_;
  VGS_Node* next_;
  VGS_Node* prev_;
};

template <class T>
class VGS_List {
 public:
  // Walks forward with ++ and backward with --; both end at end().
  template <class N, class R>
  class basic_iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = R*;
    using reference = R&;

    basic_iterator() : node_(nullptr) {}
    explicit basic_iterator(N* node) : node_(node) {}
    R& operator*() const { return node_->value(); }
    R* operator->() const { return &node_->value(); }
    basic_iterator& operator++() {
      node_ = node_->next();
      return *this;
    }
    basic_iterator& operator--() {
      node_ = node_->prev();
      return *this;
    }
    bool operator==(const basic_iterator& other) const { return node_ == other.node_; }
    bool operator!=(const basic_iterator& other) const { return node_ != other.node_; }
    N* node() const { return node_; }

   private:
    N* node_;
  };
  using iterator = basic_iterator<VGS_Node<T>, T>;
  using const_iterator = basic_iterator<const VGS_Node<T>, const T>;

  VGS_List() : first_(nullptr), last_(nullptr), count_(0) {}
  VGS_List(const VGS_List& other) : VGS_List() {
    try {
      for (const T& value : other) append(value);
    } catch (...) {
      clear();
      throw;
    }
  }
  VGS_List& operator=(const VGS_List& other) {
    if (this != &other) {
      VGS_List copy(other);
      swap(copy);
    }
    return *this;
  }
  virtual ~VGS_List() { clear(); }

  // Adds a copy of `value` at the end; 0. Throws VGS_Exception (8) when out of memory.
  int append(const T& value) {
    VGS_Node<T>* node = new (std::nothrow) VGS_Node<T>(value);
    if (node == nullptr) VGS_Exception::ThrowException(8, nullptr);
    node->prev_ = last_;
    if (last_ != nullptr) {
      last_->next_ = node;
    } else {
      first_ = node;
    }
    last_ = node;
    ++count_;
    return 0;
  }

  // Removes the element at `at` and moves `at` to the one after it; -1 at end().
  int remove(iterator& at) {
    VGS_Node<T>* node = at.node();
    if (node == nullptr) return -1;
    at = iterator(node->next_);
    unlink(node);
    return 0;
  }

  // Removes the first element equal to `value`; -1 when there is none.
  int remove(const T& value) {
    for (VGS_Node<T>* node = first_; node != nullptr; node = node->next_) {
      if (node->value_ == value) {
        unlink(node);
        return 0;
      }
    }
    return -1;
  }

  bool contains(const T& value) const {
    for (const VGS_Node<T>* node = first_; node != nullptr; node = node->next_) {
      if (node->value_ == value) return true;
    }
    return false;
  }

  void clear() {
    VGS_Node<T>* node = first_;
    first_ = last_ = nullptr;
    count_ = 0;
    while (node != nullptr) {
      VGS_Node<T>* next = node->next_;
      delete node;
      node = next;
    }
  }

  unsigned int count() const { return count_; }
  unsigned int size() const { return count_; }
  bool empty() const { return count_ == 0; }

  VGS_Node<T>* first_node() const { return first_; }
  VGS_Node<T>* last_node() const { return last_; }

  iterator begin() { return iterator(first_); }
  iterator end() { return iterator(); }
  const_iterator begin() const { return const_iterator(first_); }
  const_iterator end() const { return const_iterator(); }
  // The last element; walk toward the first with -- until end().
  iterator rbegin() { return iterator(last_); }
  const_iterator rbegin() const { return const_iterator(last_); }

  void swap(VGS_List& other) {
    VGS_Node<T>* first = first_;
    VGS_Node<T>* last = last_;
    unsigned int count = count_;
    first_ = other.first_;
    last_ = other.last_;
    count_ = other.count_;
    other.first_ = first;
    other.last_ = last;
    other.count_ = count;
  }

 protected:
  // Takes the first element into `value`; -1 when empty.
  int take_first(T& value) {
    if (first_ == nullptr) return -1;
    value = first_->value_;
    unlink(first_);
    return 0;
  }

 private:
  void unlink(VGS_Node<T>* node) {
    if (node->prev_ != nullptr) {
      node->prev_->next_ = node->next_;
    } else {
      first_ = node->next_;
    }
    if (node->next_ != nullptr) {
      node->next_->prev_ = node->prev_;
    } else {
      last_ = node->prev_;
    }
    --count_;
    delete node;
  }

  VGS_Node<T>* first_;
  VGS_Node<T>* last_;
  unsigned int count_;
};

template <class T>
class VGS_Queue : public VGS_List<T> {
 public:
  VGS_Queue() = default;
  ~VGS_Queue() override = default;

  // Adds at the end; 0. Throws VGS_Exception (8) when out of memory.
  int enqueue(const T& value) { return this->append(value); }
  // Takes the oldest element; -1 when the queue is empty.
  int dequeue(T& value) { return this->take_first(value); }
};
