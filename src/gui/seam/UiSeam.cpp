#include "gui/seam/UiSeam.h"

namespace kestrune {

namespace {

UiSeam *&installed()
{
    static UiSeam *seam = nullptr;
    return seam;
}

} // namespace

UiSeam &ui()
{
    UiSeam *seam = installed();
    return seam ? *seam : qtUi();
}

void setUi(UiSeam *seam)
{
    installed() = seam;
}

} // namespace kestrune
