#include "app/basKestrune.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (!basKestrune::Main(QCoreApplication::applicationDirPath()))
        return 1;
    return app.exec();
}
