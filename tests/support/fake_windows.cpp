#include "support/fake_windows.h"

namespace voxlet::test {

FakeMainWindow::FakeMainWindow()
{
    checked_[Control::mnu_Hyouji] = true;
}

} // namespace voxlet::test
