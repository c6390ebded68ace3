#include "domain-tool/command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

namespace pellora::domaintool {
namespace {

TEST(DecideOperationTest, OnlyOneExactWordSelectsAnOperation) {
  struct Case {
    std::vector<const char*> argv;  // including the program name
    Operation expected;
  } cases[] = {
      {{"pell-domain", "register"}, Operation::kRegister},
      {{"pell-domain", "remove"}, Operation::kRemove},
      {{"pell-domain"}, Operation::kUsage},
      {{"pell-domain", "Register"}, Operation::kUsage},
      {{"pell-domain", "REMOVE"}, Operation::kUsage},
      {{"pell-domain", "register "}, Operation::kUsage},
      {{"pell-domain", "reg"}, Operation::kUsage},
      {{"pell-domain", ""}, Operation::kUsage},
      {{"pell-domain", "register", "remove"}, Operation::kUsage},
      {{"pell-domain", "remove", "extra"}, Operation::kUsage},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decideOperation(static_cast<int>(c.argv.size()), c.argv.data()), c.expected)
        << c.argv.size() << " arguments";
  }
  EXPECT_EQ(decideOperation(0, nullptr), Operation::kUsage);
}

TEST(OutcomeTest, EachSituationHasItsStreamLineAndStatus) {
  const std::string err = "Error Domain=NSCocoaErrorDomain Code=513 \"cannot write\"";
  struct Case {
    Situation situation;
    Outcome expected;
  } cases[] = {
      {Situation::kWrongArgument,
       {Stream::kStandardOutput, "usage: pell-domain {register|remove}\n", 2}},
      {Situation::kAdded,
       {Stream::kStandardOutput, "registered: de.brightfold.pellora-connect-desktop.default\n", 0}},
      {Situation::kAddingFailed, {Stream::kStandardError, "register failed: " + err + "\n", 1}},
      {Situation::kListingFailed, {Stream::kStandardError, "list failed: " + err + "\n", 1}},
      {Situation::kNotRegistered, {Stream::kStandardOutput, "not registered\n", 0}},
      {Situation::kRemovingFailed, {Stream::kStandardError, "remove failed: " + err + "\n", 1}},
      {Situation::kRemoved,
       {Stream::kStandardOutput, "removed: de.brightfold.pellora-connect-desktop.default\n", 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcomeOf(c.situation, err), c.expected) << c.expected.line;
  }
}

TEST(RemovalSituationTest, ADomainThatIsGoneAlreadyIsNotRegistered) {
  // Two removals that both listed the domain: the second one's removal finds
  // nothing left and reports it as not registered, not as a failure.
  struct Case {
    const char* name;
    std::optional<fp::Error> error;
    Situation expected;
  };
  const Case cases[] = {
      {"removed", std::nullopt, Situation::kRemoved},
      {"gone already",
       fp::Error{std::string(fp::kFileProviderErrorDomain),
                 static_cast<int>(fp::FileProviderErrorCode::kProviderNotFound), "no domain"},
       Situation::kNotRegistered},
      {"registry unwritable", fp::Error::posix(EACCES, "writing domains.json"),
       Situation::kRemovingFailed},
      {"another file-provider error",
       fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem), Situation::kRemovingFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(removalSituation(c.error), c.expected);
  }
}

TEST(DefaultDomainTest, IsShownAndFoundByWholeIdentifier) {
  EXPECT_EQ(defaultDomain(), (fp::Domain{"de.brightfold.pellora-connect-desktop.default",
                                         "Pellora Connect", false}));
  using D = fp::Domain;
  EXPECT_EQ(findDefaultDomain({}), std::nullopt);
  EXPECT_EQ(findDefaultDomain({D{"de.brightfold.pellora-connect-desktop.default.x", "", false},
                               D{"de.brightfold.pellora-connect-desktop.acct.a", "", false}}),
            std::nullopt);
  // The first match is taken, with whatever name and visibility it was listed with.
  EXPECT_EQ(
      findDefaultDomain({D{"other", "O", false},
                         D{"de.brightfold.pellora-connect-desktop.default", "First", true},
                         D{"de.brightfold.pellora-connect-desktop.default", "Second", false}}),
      (D{"de.brightfold.pellora-connect-desktop.default", "First", true}));
}

}  // namespace
}  // namespace pellora::domaintool
