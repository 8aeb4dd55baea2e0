#pragma once
// One executable runs every GUI test class: each file registers its class here.
#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace lindra::gui::testing {

using TestFactory = std::function<std::unique_ptr<QObject>()>;
std::vector<TestFactory>& TestClasses();

struct TestRegistration {
  explicit TestRegistration(TestFactory factory) { TestClasses().push_back(std::move(factory)); }
};

}  // namespace lindra::gui::testing

#define LINDRA_GUI_TEST_CONCAT2(a, b) a##b
#define LINDRA_GUI_TEST_CONCAT(a, b) LINDRA_GUI_TEST_CONCAT2(a, b)
#define LINDRA_GUI_TEST(Class)                                                \
  static const lindra::gui::testing::TestRegistration LINDRA_GUI_TEST_CONCAT( \
      registration, __LINE__)([] { return std::unique_ptr<QObject>(std::make_unique<Class>()); });
