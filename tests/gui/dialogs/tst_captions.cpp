// The windows in the desktop's Japanese font whatever the locale: every
// caption, label, button and frame text shows whole in the font actually
// used.  ctest runs this under C.UTF-8 and again under ja_JP.UTF-8.

#include "LabelChecks.h"
#include "RecordingUi.h"
#include "WindowWaits.h"

#include "gui/layout/JapaneseFont.h"
#include "base/settings/basKestrune.h"
#include "gui/collector/frmDownload.h"
#include "gui/dialogs/frmAbout.h"
#include "gui/dialogs/frmLogin.h"
#include "gui/dialogs/frmSetting.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <functional>
#include <memory>

using namespace kestrune;

using WindowFactory = std::function<std::unique_ptr<QWidget>()>;
Q_DECLARE_METATYPE(WindowFactory)

class tst_captions : public QObject {
    Q_OBJECT

    std::unique_ptr<RecordingUi> m_ui;
    std::unique_ptr<QTemporaryDir> m_exeDir;

private Q_SLOTS:
    void initTestCase()
    {
        if (std::setlocale(LC_ALL, "") == nullptr)
            QSKIP(qPrintable(
                QStringLiteral("the locale %1 is not installed (scripts/test generates it)")
                    .arg(QString::fromLocal8Bit(qgetenv("LC_ALL")))));
        QVERIFY2(!kestrune::uifont::JapaneseFamily().isEmpty(),
                 "no font for Japanese is installed (fonts-noto-cjk)");
        m_ui = std::make_unique<RecordingUi>();
        m_exeDir = std::make_unique<QTemporaryDir>();
        frmSetting::SetExecutableFolder(m_exeDir->path());
        basKestrune::glngTimeout = 30000;
        basKestrune::gstrHelpFile = m_exeDir->filePath(QStringLiteral("Kestrune.hlp"));
    }

    void cleanupTestCase() { frmSetting::SetExecutableFolder(QString()); }

    void everyTextShowsWhole_data()
    {
        QTest::addColumn<WindowFactory>("make");
        QTest::newRow("collector window") << WindowFactory([] {
            // Loaded: the list has its column headings.
            auto w = std::make_unique<frmDownload>();
            if (!windowwaits::loadWindow(*w))
                return std::unique_ptr<QWidget>();
            return std::unique_ptr<QWidget>(std::move(w));
        });
        QTest::newRow("settings dialog")
            << WindowFactory([] { return std::unique_ptr<QWidget>(new frmSetting); });
        QTest::newRow("version dialog")
            << WindowFactory([] { return std::unique_ptr<QWidget>(new frmAbout); });
        QTest::newRow("login dialog") << WindowFactory([] {
            kestrune::LoginRequest request;
            request.host = QStringLiteral("logs.example.jp");
            request.realm = QStringLiteral("IIS ログ");
            return std::unique_ptr<QWidget>(new frmLogin(request));
        });
    }

    void everyTextShowsWhole()
    {
        QFETCH(WindowFactory, make);
        const std::unique_ptr<QWidget> window = make();
        QVERIFY(window);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(!window->grab().isNull()); // polished and painted as on screen

        // The font actually used is the desktop's Japanese one, at the size
        // the layouts were drawn for.
        const QFontInfo used(window->font());
        QCOMPARE(used.family(), kestrune::uifont::JapaneseFamily());
        QVERIFY(QFontDatabase::writingSystems(used.family()).contains(QFontDatabase::Japanese));
        QCOMPARE(used.pointSize(), kestrune::uifont::kPointSize);

        int checked = 0;
        for (const QWidget *widget : window->findChildren<QWidget *>()) {
            if (!widget->isVisible())
                continue;
            const QString problem = dialogtest::textProblem(widget);
            QVERIFY2(problem.isEmpty(),
                     qPrintable(widget->objectName() + QLatin1String(" (")
                                + QLatin1String(widget->metaObject()->className())
                                + QLatin1String("): ") + problem));
            ++checked;
        }
        QVERIFY(checked > 5);
    }
};

QTEST_MAIN(tst_captions)
#include "tst_captions.moc"
