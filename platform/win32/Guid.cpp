#include "platform/Guid.h"

#include <objbase.h>

namespace kelda::platform {

GUID NewGuid() {
  GUID guid{};
  ::CoCreateGuid(&guid);
  return guid;
}

}  // namespace kelda::platform
