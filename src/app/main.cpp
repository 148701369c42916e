#include "gui/layout/JapaneseFont.h"
#include "gui/layout/QtTexts.h"
#include "gui/startup/Startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Message boxes, tool tips and the help window in the Japanese font the
    // windows use, whatever the desktop's language; and Qt's own texts (the
    // folder chooser, standard buttons) in Japanese too.
    QApplication::setFont(kestrune::uifont::JapaneseUiFont(QApplication::font()));
    kestrune::uifont::UseJapaneseQtTexts();
    if (!kestrune::basKestrune::Main(QCoreApplication::applicationDirPath()))
        return 1;
    return app.exec();
}
