// TProxyCodeCustomObject: the component base of settings objects, which publish their
// settings through a property table (Common/PublishedProperties.h).
#pragma once

#include "Common/Component.h"
#include "Common/PublishedProperties.h"

namespace kelda {

// The component base of the settings objects: a component that publishes the properties of
// its class's table. It publishes none of its own.
class TProxyCodeCustomObject : public TComponent, public IPublishedProperties {
public:
  explicit TProxyCodeCustomObject(TComponent* owner) : TComponent(owner) {}
  const TPropertyTable& PublishedProperties() const override;
};

}  // namespace kelda
