// TProxyCodeObject: the settings object base that the options dialog's values are mapped onto.
// It adds nothing to TProxyCodeCustomObject; the module's settings class derives from it.
#pragma once

#include "config/ProxyCodeCustom.h"

namespace kelda {

class TProxyCodeObject : public TProxyCodeCustomObject {
public:
  using TProxyCodeCustomObject::TProxyCodeCustomObject;
};

}  // namespace kelda
