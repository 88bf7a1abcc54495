#include "config/ProxyCodeCustom.h"

#include <gtest/gtest.h>

#include "Common/Exceptions.h"
#include "config/CfgOptionsProxy.h"

using namespace kelda;

namespace {

class TBaseSettings : public TProxyCodeObject {
public:
  using TProxyCodeObject::TProxyCodeObject;
  const TPropertyTable& PublishedProperties() const override;
  int32_t Shared = 1;
  std::string Title = "base";
};

class TDerivedSettings : public TBaseSettings {
public:
  using TBaseSettings::TBaseSettings;
  const TPropertyTable& PublishedProperties() const override;
  int32_t Shared = 2;  // hides the base's property of the same name
  double Ratio = 0.5;
  TStringList Lines;
  TObject* Link = nullptr;
};

const TPropertyInfo BaseProperties[] = {
    IntegerField<TBaseSettings, &TBaseSettings::Shared>("Shared"),
    TextField<TBaseSettings, &TBaseSettings::Title>("Title"),
};
const TPropertyTable BaseTable{nullptr, BaseProperties};

const TPropertyInfo DerivedProperties[] = {
    IntegerField<TDerivedSettings, &TDerivedSettings::Shared>("Shared"),
    DoubleField<TDerivedSettings, &TDerivedSettings::Ratio>("Ratio"),
    StringListField<TDerivedSettings, &TDerivedSettings::Lines>("Lines"),
    {"Link", TPropertyKind::Object,
     [](const TObject& o) -> TPropertyValue { return static_cast<const TDerivedSettings&>(o).Link; },
     [](TObject& o, const TPropertyValue& v) {
       static_cast<TDerivedSettings&>(o).Link = std::get<TObject*>(v);
     }},
};
const TPropertyTable DerivedTable{&BaseTable, DerivedProperties};

const TPropertyTable& TBaseSettings::PublishedProperties() const {
  return BaseTable;
}
const TPropertyTable& TDerivedSettings::PublishedProperties() const {
  return DerivedTable;
}

}  // namespace

TEST(PublishedProperties, FoundByNameThroughTheClassChain) {
  TComponent owner(nullptr);
  auto* settings = new TDerivedSettings(&owner);  // owned by `owner`
  const IPublishedProperties& published = *settings;

  const TPropertyInfo* shared = FindProperty(published, "SHARED");
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(std::get<int32_t>(GetPropValue(*settings, *shared)), 2);  // own class first
  const TPropertyInfo* title = FindProperty(published, "title");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->Kind, TPropertyKind::Text);
  EXPECT_EQ(std::get<std::string>(GetPropValue(*settings, *title)), "base");
  EXPECT_EQ(FindProperty(published, "Missing"), nullptr);
  EXPECT_EQ(FindProperty(published, "Shared_"), nullptr);

  TProxyCodeCustomObject plain(nullptr);
  EXPECT_EQ(FindProperty(plain, "Name"), nullptr);  // the base publishes nothing itself
}

TEST(PublishedProperties, SetChecksKindsAndCopiesLists) {
  TDerivedSettings settings(nullptr);
  const TPropertyInfo& ratio = *FindProperty(settings, "Ratio");
  const TPropertyInfo& shared = *FindProperty(settings, "Shared");
  const TPropertyInfo& lines = *FindProperty(settings, "Lines");
  const TPropertyInfo& link = *FindProperty(settings, "Link");

  SetPropValue(settings, ratio, 2.25);
  EXPECT_EQ(settings.Ratio, 2.25);
  SetPropValue(settings, ratio, int32_t{3});  // an integer is a valid double
  EXPECT_EQ(settings.Ratio, 3.0);
  SetPropValue(settings, shared, int32_t{-5});
  EXPECT_EQ(settings.Shared, -5);
  EXPECT_EQ(settings.TBaseSettings::Shared, 1);

  EXPECT_THROW(SetPropValue(settings, shared, 1.5), EConvertError);
  EXPECT_THROW(SetPropValue(settings, shared, std::string("7")), EConvertError);
  EXPECT_THROW(SetPropValue(settings, ratio, std::string("1")), EConvertError);
  EXPECT_EQ(settings.Shared, -5);

  TStringList source;
  source.Add("one");
  source.Add("two");
  SetPropValue(settings, lines, &source);
  source.Add("three");  // a copy was taken
  ASSERT_EQ(settings.Lines.Count(), 2);
  EXPECT_EQ(settings.Lines.Strings(1), "two");
  EXPECT_EQ(std::get<TStringList*>(GetPropValue(settings, lines)), &settings.Lines);
  SetPropValue(settings, lines, static_cast<TStringList*>(nullptr));
  EXPECT_EQ(settings.Lines.Count(), 0);

  TObject target;
  SetPropValue(settings, link, &target);
  EXPECT_EQ(std::get<TObject*>(GetPropValue(settings, link)), &target);
}
