#include "config/ProxyCodeCustom.h"

namespace kelda {

namespace {

const TPropertyTable NoProperties{nullptr, {}};

}  // namespace

const TPropertyTable& TProxyCodeCustomObject::PublishedProperties() const {
  return NoProperties;
}

}  // namespace kelda
