// example.cpp - the smallest complete plug-in: a streamer, a dispatcher and
// a filter for one entity type, built with the plug-in SDK.
//
// The host hands in a text: the item descriptor's stream_param1 is a pointer
// to a NUL-terminated string, which the streamer copies into the item's
// stream. The dispatcher passes every item to the filter, which counts how
// often the word named by the setting "/example/filter/Word" occurs in the
// text and writes the count into the processing's black box under
// kExampleCountKey. docs/plugins.md walks through this file.
#include <cstring>

#include "plugin_sdk.h"

namespace {

const uint32_t kExampleEntityType = 0x4558; // "EX"
const uint32_t kExampleCountKey = 900001;
const char kWordSetting[] = "/example/filter/Word";

// The item's stream: the core keeps it in the item record and destroys it
// through its virtual destructor when the item is released.
class ExampleStream : public CAStream {
public:
  explicit ExampleStream(const char* text) : text_(text) {}
  const ascommon::sstring& text() const { return text_; }

private:
  ascommon::sstring text_;
};

class ExampleStreamer : public ascore_sdk::CModule<CAStreamer> {
public:
  ExampleStreamer() : CModule("ExampleStreamer") {}

  CAStream* CreateStream(uint64_t, int64_t param1, int64_t, uint32_t) override {
    const char* text = reinterpret_cast<const char*>(param1);
    if (!text) {
      _as_set_err(-101, "ExampleStreamer: no text given in stream_param1");
      return nullptr; // the core then fails the item's creation
    }
    ExampleStream* stream = new (std::nothrow) ExampleStream(text);
    if (!stream || stream->text().status() != 0) {
      delete stream;
      _as_set_err(-102, "ExampleStreamer: out of memory");
      return nullptr;
    }
    return stream;
  }
  uint32_t GetEntityType() override { return kExampleEntityType; }
};

class ExampleDispatcher : public ascore_sdk::CModule<CADispatcher> {
public:
  ExampleDispatcher() : CModule("ExampleDispatcher"), filter_("ExampleWordFilter") {}

  int DispatchItem(uint64_t session, ASItem* item, uint32_t verb, CADispManager* manager) override {
    // -561 means the filter ran; -560 that it is not enabled on this session.
    return manager->PassToFilter(session, filter_, item, verb, nullptr);
  }
  int DispatchCommand(uint64_t, uint32_t, CBlackBox*, CADispManager*) override { return 0; }
  uint32_t GetEntityType() override { return kExampleEntityType; }

private:
  ascommon::sstring filter_;
};

class ExampleWordFilter : public ascore_sdk::CModule<CAFilter> {
public:
  ExampleWordFilter() : CModule("ExampleWordFilter") {}

  // Runs when the host applies the global settings; items are not processed
  // meanwhile, so FilterItem may read word_ without a lock.
  int ApplySharedSettings() override {
    const char* word = GetConfigurer() ? GetConfigurer()->GetSetting(kWordSetting, 0) : nullptr;
    if (!word || !*word) return _as_set_err(-101, "ExampleWordFilter: %s is not set", kWordSetting);
    word_ = word;
    if (word_.status() != 0) return _as_set_err(-102, "ExampleWordFilter: out of memory");
    AS_TRACE(4, "ExampleWordFilter counts [%s]", word_.c_str());
    return 0;
  }

  int GetBreakerIndex(uint32_t) override { return 0; } // the raw text is enough

  int FilterItem(uint64_t, ASItem* item, uint32_t) override {
    const ExampleStream* stream = static_cast<const ExampleStream*>(item->stream);
    if (!stream || !item->current_bb || !word_.c_str()) return 0;
    int count = 0;
    const char* text = stream->text().c_str();
    for (const char* at = text ? std::strstr(text, word_.c_str()) : nullptr; at;
         at = std::strstr(at + word_.length(), word_.c_str()))
      ++count;
    item->current_bb->Set(kExampleCountKey, BB_TYPE_INT, BB_FLAGS_RAW, count);
    return 0;
  }
  int FilterCommand(uint64_t, uint32_t, void*) override { return 0; }

private:
  ascommon::sstring word_;
};

const ascore_sdk::ModuleEntry kModules[] = {
    {"ExampleStreamer", &ascore_sdk::Create<ExampleStreamer>},
    {"ExampleDispatcher", &ascore_sdk::Create<ExampleDispatcher>},
    {"ExampleWordFilter", &ascore_sdk::Create<ExampleWordFilter>},
};

} // namespace

ASCORE_PLUGIN_MODULES(kModules)
