// The program icon: the built-in drawing renders at the tray's and the windows' sizes.
#include "ui/qt/program_icon.h"

#include <gtest/gtest.h>

#include <QImage>

#include "support/qt_support.h"

namespace tovi::test {

// The drawing itself (not the painted stand-in): its blue tile, the white bubble and the yellow
// letter at the centre, with a transparent corner outside the tile's rounding.
TEST(ProgramIcon, TheDrawingRendersAtEverySize) {
    qtApp();
    const QIcon icon = CProgramIcon::icon();
    for (int size : {16, 22, 32, 48, 128}) {
        const QImage image = icon.pixmap(size, size).toImage();
        ASSERT_EQ(image.size(), QSize(size, size)) << size;
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << size;
        const QColor centre = image.pixelColor(size / 2, size * 7 / 16);
        EXPECT_GT(centre.red(), 200) << size;
        EXPECT_GT(centre.green(), 170) << size;
        EXPECT_LT(centre.blue(), 140) << size;
        const QColor edge = image.pixelColor(size / 2, size * 59 / 64);
        EXPECT_GT(edge.blue(), edge.red() + 40) << size;
    }
}

}  // namespace tovi::test
