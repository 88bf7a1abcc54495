// The scan's command line and the order of its tries: GE's factory default first, the likeliest
// settings next, CCM only where GE's CCM ports can be set, and waits that grow with a slow line.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "tools/ScanPlan.h"

using namespace kelda;
using namespace kelda::host;

namespace {

TScanOptions Parse(std::vector<std::string> args) {
  args.insert(args.begin(), {"lib.so", "--port", "COM3"});
  return ParseScanOptions(args);
}

std::size_t Position(const std::vector<TLineSetting>& settings, const std::string& text) {
  for (std::size_t i = 0; i < settings.size(); ++i)
    if (SettingText(settings[i]) == text) return i;
  ADD_FAILURE() << text << " is not tried";
  return settings.size();
}

}  // namespace

TEST(ScanPlan, DefaultOrderPutsTheLikeliestSettingsFirst) {
  const TScanOptions options = Parse({});
  const std::vector<TLineSetting> settings = ScanSettings(options);
  ASSERT_EQ(settings.size(), 7u * 3u * 2u) << "300 to 19200 baud, three parities, one or two stop bits";
  std::set<std::string> distinct;
  for (const TLineSetting& s : settings) distinct.insert(SettingText(s));
  EXPECT_EQ(distinct.size(), settings.size()) << "no setting is tried twice";
  EXPECT_EQ(SettingText(settings.front()), "19200 8O1") << "GE's factory default comes first";
  EXPECT_EQ(distinct.count("38400 8O1"), 0u) << "38400 only when asked for";
  // 19200 and 9600 before the slow rates; odd before none before even; one stop bit before two.
  EXPECT_LT(Position(settings, "9600 8E1"), Position(settings, "4800 8O1"));
  EXPECT_LT(Position(settings, "19200 8O1"), Position(settings, "19200 8N1"));
  EXPECT_LT(Position(settings, "19200 8N1"), Position(settings, "19200 8E1"));
  EXPECT_LT(Position(settings, "9600 8E1"), Position(settings, "19200 8O2"));
  EXPECT_LT(Position(settings, "19200 8E2"), Position(settings, "4800 8O1"));
  EXPECT_EQ(SettingText(settings.back()), "300 8E2");

  const std::vector<TScanStep> plan = ScanPlan(options);
  std::size_t ccmSteps = 0;
  for (const TScanStep& step : plan) {
    const bool ccm =
        step.Protocol == plcsim::Mode::CcmMasterSlave || step.Protocol == plcsim::Mode::CcmPeerToPeer;
    if (!ccm) {
      EXPECT_EQ(step.Addresses, std::vector<std::string>{""}) << "SNP and SNP-X ask the null ID";
      continue;
    }
    ++ccmSteps;
    EXPECT_NE(step.Line.Parity, platform::TParity::Even) << "GE's CCM ports offer odd or no parity only";
    if (step.Protocol == plcsim::Mode::CcmPeerToPeer) {
      EXPECT_EQ(step.Addresses, std::vector<std::string>{"255"}) << "any peer answers target 255";
    } else {
      ASSERT_EQ(step.Addresses.size(), 16u);
      EXPECT_EQ(step.Addresses.front(), "1");
      EXPECT_EQ(step.Addresses.back(), "16");
    }
  }
  EXPECT_EQ(ccmSteps, 2u * 28u) << "two CCM modes at the 28 settings with odd or no parity";
  EXPECT_EQ(plan.front().Protocol, plcsim::Mode::SnpX);
  EXPECT_EQ(TryCount(plan), 42u * 2u + 28u * (1u + 16u));
}

TEST(ScanPlan, OptionsNarrowTheScanAndWrongOnesAreRefused) {
  const TScanOptions options =
      Parse({"--bauds", "300,57600,19200", "--parities=none", "--stops", "1", "--protocols", "ccm-ms,snp",
             "--stations", "5-7", "--try-timeout", "150", "--all", "--write-config", "plc.xml"});
  const std::vector<TLineSetting> settings = ScanSettings(options);
  ASSERT_EQ(settings.size(), 3u);
  EXPECT_EQ(SettingText(settings[0]), "19200 8N1");
  EXPECT_EQ(SettingText(settings[1]), "57600 8N1") << "a fast rate asked for comes before the slow ones";
  EXPECT_EQ(SettingText(settings[2]), "300 8N1");
  const std::vector<TScanStep> plan = ScanPlan(options);
  ASSERT_EQ(plan.size(), 6u);
  EXPECT_EQ(plan[0].Protocol, plcsim::Mode::Snp);
  EXPECT_EQ(plan[1].Protocol, plcsim::Mode::CcmMasterSlave);
  EXPECT_EQ(plan[1].Addresses, (std::vector<std::string>{"5", "6", "7"}));
  EXPECT_TRUE(options.All);
  EXPECT_EQ(options.ConfigFile, "plc.xml");
  EXPECT_EQ(options.Library, "lib.so");

  const std::vector<std::vector<std::string>> wrong = {
      {"--bauds", "1234"},       {"--bauds", "9600,"},  {"--parities", "mark"}, {"--stops", "3"},
      {"--protocols", "modbus"}, {"--stations", "7-3"}, {"--stations", "0-5"},  {"--stations", "1-91"},
      {"--try-timeout", "5"},    {"--try-timeout"},     {"--nonsense", "1"},    {"second-library"}};
  for (const auto& args : wrong) EXPECT_THROW(Parse(args), EScanUsage) << args.front();
  EXPECT_THROW(ParseScanOptions({"lib.so"}), EScanUsage) << "the port is required";
  EXPECT_TRUE(ParseScanOptions({"--help"}).Help);
  // CCM alone at even parity leaves nothing to try.
  EXPECT_TRUE(ScanPlan(Parse({"--parities", "even", "--protocols", "ccm-ms,ccm-peer"})).empty());
}

TEST(ScanPlan, WaitsCoverTheExchangeAtSlowRates) {
  const TScanOptions options = Parse({"--try-timeout", "200"});
  const TLineSetting fast{19200, platform::TParity::Odd, 1}, slow{300, platform::TParity::Odd, 2};
  // An attach and its answer are 48 characters; at 300 baud with parity and two stop bits they
  // take 48 * 12 / 300 s = 1920 ms on the wire, which the wait must cover beyond the time-out.
  EXPECT_GE(HandshakeMs(options, slow), 200u + 1920u);
  EXPECT_GE(HandshakeMs(options, fast), 200u);
  EXPECT_LT(HandshakeMs(options, fast), 300u) << "at 19200 a try stays short";
  EXPECT_GT(TryBudgetMs(options, fast), HandshakeMs(options, fast))
      << "the break and the module's turn count";
}
