// bbobject.h - common root of every object that can live in a container or a
// black box. It holds only its virtual table (destructor pair).
#pragma once

namespace ascommon {

class CBlackBoxObject {
public:
  virtual ~CBlackBoxObject() {}
};

} // namespace ascommon

static_assert(sizeof(ascommon::CBlackBoxObject) == 8, "vtable pointer only");
