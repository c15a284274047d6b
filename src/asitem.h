// asitem.h - the item record. Plug-ins receive it and read and write its
// fields in place, so its layout on x86-64 Linux is binary contract.
#pragma once

#include <pthread.h>
#include <cstddef>
#include <cstdint>

class CBlackBox;
class CAStream;

// One record per breaker index 0 to 4.
struct ASBreakerState {
  uint8_t open;   // the breaker has broken the item to this index
  uint8_t index;  // the record's own position after a reset
  uint8_t failed; // BreakItem threw for this index; stays until release
};

enum { AS_BREAKER_LEVELS = 5 };

struct ASItem {
  ASItem* self;
  CAStream* stream;        // owned, destroyed through its deleting destructor
  CBlackBox* item_bb;      // created with the item, released with it
  CBlackBox* current_bb;   // black box of the processing in progress, else null
  pthread_mutex_t mutex;   // held while the item is processed or released
  uint32_t entity_type;    // 0xFFFFFFFF until filled in
  uint8_t breaker_index;   // 0..4
  uint8_t dirty;           // set by modules that changed the content
  ASBreakerState states[AS_BREAKER_LEVELS];
  uint8_t padding[3];
};

static_assert(sizeof(pthread_mutex_t) == 40, "x86-64 glibc mutex");
static_assert(offsetof(ASItem, self) == 0, "item layout");
static_assert(offsetof(ASItem, stream) == 8, "item layout");
static_assert(offsetof(ASItem, item_bb) == 16, "item layout");
static_assert(offsetof(ASItem, current_bb) == 24, "item layout");
static_assert(offsetof(ASItem, mutex) == 32, "item layout");
static_assert(offsetof(ASItem, entity_type) == 72, "item layout");
static_assert(offsetof(ASItem, breaker_index) == 76, "item layout");
static_assert(offsetof(ASItem, dirty) == 77, "item layout");
static_assert(offsetof(ASItem, states) == 78, "item layout");
static_assert(sizeof(ASBreakerState) == 3, "breaker state record");
static_assert(sizeof(ASItem) == 96, "item record is 96 bytes");
