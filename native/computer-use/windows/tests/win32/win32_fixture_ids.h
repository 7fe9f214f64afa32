// The control ids of the fixture program's children, which the tests look them up by.
#pragma once

namespace velmora::computer_use::fixture {

constexpr int kPushButtonId = 1001;
constexpr int kCheckBoxId = 1002;
constexpr int kEditId = 1003;
constexpr int kRadioButtonId = 1004;
constexpr int kComboBoxId = 1005;
constexpr int kMultiLineEditId = 1006;

}  // namespace velmora::computer_use::fixture
