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

  // Whether the object holds what its settings store holds: set by a load that read the store
  // (or found nothing stored yet), cleared by a load that could not read it. Until it is set the
  // object holds defaults, and saving it would put them over the stored settings.
  bool LoadedFromStore = false;
};

}  // namespace kelda
