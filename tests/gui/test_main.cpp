// Runs every registered test class on the offscreen platform (unless another one
// is asked for), and fails when any of them fails.
#include <QApplication>
#include <QTest>

#include "test_registry.h"

namespace lindra::gui::testing {
std::vector<TestFactory>& TestClasses() {
  static std::vector<TestFactory> classes;
  return classes;
}
}  // namespace lindra::gui::testing

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  int failed = 0;
  for (const auto& make : lindra::gui::testing::TestClasses()) {
    std::unique_ptr<QObject> test = make();
    failed += QTest::qExec(test.get(), argc, argv) != 0 ? 1 : 0;
  }
  return failed == 0 ? 0 : 1;
}
