// VGS_Hash_Map: chained hash map with a fixed bucket table and insertion-order iteration.
#pragma once

#include <new>

#include "foundation/allocator.h"
#include "foundation/error_codes.h"
#include "foundation/exception.h"
#include "foundation/hfunc.h"
#include "foundation/library.h"

template <class K, class V, class H, class A>
class VGS_Hash_Map;

template <class K, class V, class H, class A>
class VGS_Hash_Node {
 public:
  VGS_Hash_Node(const K& key, const V& value)
      : key_(key), value_(value), next_(nullptr), prev_(nullptr), chain_next_(nullptr),
        chain_prev_(nullptr) {}
  virtual ~VGS_Hash_Node() {}

  const K& key() const { return key_; }
  V& value() { return value_; }
  const V& value() const { return value_; }
  // Neighbours in insertion order.
  VGS_Hash_Node* next() const { return next_; }
  VGS_Hash_Node* prev() const { return prev_; }

 private:
  friend class VGS_Hash_Map<K, V, H, A>;
  K key_;
  V value_;
  VGS_Hash_Node* next_;
  VGS_Hash_Node* prev_;
  VGS_Hash_Node* chain_next_;
  VGS_Hash_Node* chain_prev_;
};

template <class K, class V, class H = VGS_HFunc, class A = VGS_Std_Allocator>
class VGS_Hash_Map {
 public:
  using Node = VGS_Hash_Node<K, V, H, A>;
  static constexpr unsigned int kDefaultBuckets = 32749;

  // Walks the entries in insertion order.
  template <class N>
  class basic_iterator {
   public:
    basic_iterator() : node_(nullptr) {}
    explicit basic_iterator(N* node) : node_(node) {}
    N& operator*() const { return *node_; }
    N* operator->() const { return node_; }
    basic_iterator& operator++() {
      node_ = node_->next();
      return *this;
    }
    // Moves to the next entry; false at the end.
    bool next() {
      if (node_ != nullptr) node_ = node_->next();
      return node_ != nullptr;
    }
    const K& key() const { return node_->key(); }
    auto& value() const { return node_->value(); }
    bool operator==(const basic_iterator& other) const { return node_ == other.node_; }
    bool operator!=(const basic_iterator& other) const { return node_ != other.node_; }
    N* node() const { return node_; }

   private:
    N* node_;
  };
  using iterator = basic_iterator<Node>;
  using const_iterator = basic_iterator<const Node>;

  VGS_Hash_Map()
      : first_(nullptr), last_(nullptr), table_(nullptr), buckets_(kDefaultBuckets), size_(0) {}

  // Allocates a zero-filled table of `buckets` entries at once (0: none). Throws
  // VGS_Exception with the recorded code when that fails.
  explicit VGS_Hash_Map(unsigned int buckets)
      : first_(nullptr), last_(nullptr), table_(nullptr), buckets_(buckets), size_(0) {
    if (buckets_ != 0 && allocate_table() != 0) {
      VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
    }
  }

  VGS_Hash_Map(const VGS_Hash_Map&) = delete;
  VGS_Hash_Map& operator=(const VGS_Hash_Map&) = delete;

  virtual ~VGS_Hash_Map() {
    clear();
    if (table_ != nullptr) allocator_.free(table_);
  }

  // Adds the entry at the head of its bucket chain and the end of the insertion order.
  // Does not look for an equal key. 0, or -1 with the code recorded.
  int insert(const K& key, const V& value) {
    if (table_ == nullptr) {
      if (buckets_ == 0) buckets_ = kDefaultBuckets;
      if (allocate_table() != 0) return -1;
    }
    Node* node = nullptr;
    try {
      node = new (std::nothrow) Node(key, value);
      if (node == nullptr) VGS_Exception::ThrowException(8, nullptr);
      const unsigned int index = hash_.HashFunc(key, buckets_);
      if (index >= buckets_) VGS_Exception::ThrowException(VGS_ERR_BAD_HASH, nullptr);
      node->chain_next_ = table_[index];
      if (table_[index] != nullptr) table_[index]->chain_prev_ = node;
      table_[index] = node;
    } catch (const VGS_Exception& e) {
      delete node;
      VGSLib::SetErrorCode(e.GetErrorCode());
      return -1;
    }
    node->prev_ = last_;
    if (last_ != nullptr) {
      last_->next_ = node;
    } else {
      first_ = node;
    }
    last_ = node;
    ++size_;
    return 0;
  }

  // The value of the most recently inserted entry with `key`; -1 when absent.
  int find(const K& key, V& value) const {
    const Node* node = lookup(key);
    if (node == nullptr) return -1;
    value = node->value_;
    return 0;
  }
  iterator find(const K& key) { return iterator(const_cast<Node*>(lookup(key))); }
  const_iterator find(const K& key) const { return const_iterator(lookup(key)); }

  int remove(const K& key) {
    Node* node = const_cast<Node*>(lookup(key));
    if (node == nullptr) return -1;
    unlink(node);
    return 0;
  }
  int remove(const K& key, V& value) {
    Node* node = const_cast<Node*>(lookup(key));
    if (node == nullptr) return -1;
    value = node->value_;
    unlink(node);
    return 0;
  }
  // Removes the entry at `at` and moves `at` to the next one; -1 at end().
  int remove(iterator& at) {
    Node* node = at.node();
    if (node == nullptr) return -1;
    at = iterator(node->next_);
    unlink(node);
    return 0;
  }

  // Deletes every entry; the bucket table stays for reuse.
  void clear() {
    Node* node = first_;
    while (node != nullptr) {
      Node* next = node->next_;
      delete node;
      node = next;
    }
    if (table_ != nullptr) {
      for (unsigned int i = 0; i < buckets_; ++i) table_[i] = nullptr;
    }
    first_ = last_ = nullptr;
    size_ = 0;
  }

  unsigned int size() const { return size_; }
  unsigned int bucket_count() const { return buckets_; }
  bool has_table() const { return table_ != nullptr; }

  iterator begin() { return iterator(first_); }
  iterator end() { return iterator(); }
  const_iterator begin() const { return const_iterator(first_); }
  const_iterator end() const { return const_iterator(); }

 private:
  int allocate_table() {
    if (buckets_ > 0xFFFFFFFFu / sizeof(Node*)) {
      VGSLib::SetErrorCode(8);
      return -1;
    }
    void* table =
        allocator_.malloc(static_cast<unsigned int>(buckets_ * sizeof(Node*)), true);
    if (table == nullptr) return -1;
    table_ = static_cast<Node**>(table);
    return 0;
  }

  const Node* lookup(const K& key) const {
    if (table_ == nullptr || buckets_ == 0) return nullptr;
    const unsigned int index = hash_.HashFunc(key, buckets_);
    if (index >= buckets_) return nullptr;
    for (const Node* node = table_[index]; node != nullptr; node = node->chain_next_) {
      if (node->key_ == key) return node;
    }
    return nullptr;
  }

  void unlink(Node* node) {
    if (node->chain_prev_ != nullptr) {
      node->chain_prev_->chain_next_ = node->chain_next_;
    } else {
      table_[hash_.HashFunc(node->key_, buckets_)] = node->chain_next_;
    }
    if (node->chain_next_ != nullptr) node->chain_next_->chain_prev_ = node->chain_prev_;
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
    --size_;
    delete node;
  }

  A allocator_;
  H hash_;
  Node* first_;
  Node* last_;
  Node** table_;
  unsigned int buckets_;
  unsigned int size_;
};
