// VGS_HFunc: bucket index of a key, one overload per key type.
#pragma once

#include <string>

class VGS_thread_t;

class VGS_HFunc {
 public:
  virtual ~VGS_HFunc();

  virtual unsigned int HashFunc(char key, unsigned int buckets) const;
  virtual unsigned int HashFunc(signed char key, unsigned int buckets) const;
  virtual unsigned int HashFunc(unsigned char key, unsigned int buckets) const;
  virtual unsigned int HashFunc(short key, unsigned int buckets) const;
  virtual unsigned int HashFunc(unsigned short key, unsigned int buckets) const;
  virtual unsigned int HashFunc(int key, unsigned int buckets) const;
  virtual unsigned int HashFunc(unsigned int key, unsigned int buckets) const;
  // Hashed by their low 32 bits, so an index does not depend on the width of long.
  virtual unsigned int HashFunc(long key, unsigned int buckets) const;
  virtual unsigned int HashFunc(unsigned long key, unsigned int buckets) const;
  virtual unsigned int HashFunc(long long key, unsigned int buckets) const;
  virtual unsigned int HashFunc(unsigned long long key, unsigned int buckets) const;
  virtual unsigned int HashFunc(float key, unsigned int buckets) const;
  virtual unsigned int HashFunc(double key, unsigned int buckets) const;
  virtual unsigned int HashFunc(const void* key, unsigned int buckets) const;
  virtual unsigned int HashFunc(const char* key, unsigned int buckets) const;
  virtual unsigned int HashFunc(const std::string& key, unsigned int buckets) const;
  // Wide text as UTF-16 code units.
  virtual unsigned int HashFunc(const char16_t* key, unsigned int buckets) const;
  virtual unsigned int HashFunc(const std::u16string& key, unsigned int buckets) const;
  // By the thread id.
  virtual unsigned int HashFunc(const VGS_thread_t& key, unsigned int buckets) const;

 protected:
  // Spreads a 32-bit multiplicative string sum over the buckets.
  static unsigned int spread(unsigned int sum, unsigned int buckets);
};
