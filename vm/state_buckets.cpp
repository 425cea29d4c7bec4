// The state buckets: one table of records, each claimed by the instruction kind that uses it.
#include "state_buckets.h"

#include "zek_common.h"

void *zek_bucket_claim(uint16_t index, uint32_t tag, uint32_t size, ZekBucketCleanup cleanup) {
  VmState &vm = vmstate0;
  void *bucket = vm.buckets[index];
  if (bucket != nullptr && (vm.bucketTags[index] & ~ZEK_BUCKET_FILLED) == tag) {
    vm.bucketTags[index] = tag;
    return bucket;
  }
  if (bucket != nullptr) {
    if (vm.bucketCleanups[index] != nullptr) vm.bucketCleanups[index](index, bucket);
    vm.buckets[index] = nullptr;
    vm.bucketCleanups[index] = nullptr;
    vm.bucketTags[index] = 0;
  }
  bucket = zek_malloc(size);
  if (bucket == nullptr) return nullptr;
  vm.buckets[index] = bucket;
  vm.bucketCleanups[index] = cleanup;
  vm.bucketTags[index] = tag;
  return bucket;
}
