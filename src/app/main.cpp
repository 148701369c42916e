#include "gui/layout/JapaneseFont.h"
#include "gui/startup/Startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Message boxes, tool tips and the help window in the Japanese font the
    // windows use, whatever the desktop's language.
    QApplication::setFont(kestrune::uifont::JapaneseUiFont(QApplication::font()));
    if (!kestrune::basKestrune::Main(QCoreApplication::applicationDirPath()))
        return 1;
    return app.exec();
}
