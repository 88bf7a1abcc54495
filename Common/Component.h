// Components: objects with an owner that destroys them, a name and a tag. An owner destroys
// the components it owns, the last one first, when it is destroyed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Common/Classes.h"

namespace kelda {

class TComponent : public TObject {
public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const { return FComponents.at(static_cast<std::size_t>(index)); }
  TComponent* FindComponent(const std::string& name) const;  // case-insensitive, ASCII
  // Destroys the owned components, the last first. An owner whose components use its own members
  // calls this at the start of its destructor, while those members still exist.
  void DestroyComponents();
  // Leaves the owner, which will no longer destroy it: for a component that must outlive its
  // owner and destroys itself later.
  void LeaveOwner();

  // Design state: set while a component is edited rather than run (never in a host).
  bool Designing() const { return FDesigning; }
  void SetDesigning(bool value) { FDesigning = value; }

  std::string Name;
  intptr_t Tag = 0;

private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
  bool FDesigning = false;
};

}  // namespace kelda
