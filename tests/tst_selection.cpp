#include "mainwindow.h"
#include "support.h"
#include "watchdog.h"

#include <QDir>
#include <QFileDialog>
#include <QSettings>
#include <QtTest>

using support::DebugCapture;

class TestSelection : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_work;
    QString m_program;

    // Answers the dialog once it is up, then closes the window as a user would.
    void answerDialog(MainWindow &window, const std::function<void(QFileDialog *)> &answer,
                      QString *caption, QStringList *filters)
    {
        QTimer::singleShot(0, [&window, answer, caption, filters] {
            QFileDialog *dialog = nullptr;
            QVERIFY(QTest::qWaitFor([&] {
                dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                return dialog != nullptr;
            }, 30000));
            *caption = dialog->windowTitle();
            *filters = dialog->nameFilters();
            answer(dialog);
            QTimer::singleShot(0, &window, &QWidget::close);
        });
    }

    void runWith(const std::function<void(QFileDialog *)> &answer, QStringList *debug)
    {
        MainWindow window;
        window.show();
        QSettings settings(m_work.filePath(QStringLiteral("sys.ini")), QSettings::IniFormat);
        QString caption;
        QStringList filters;
        answerDialog(window, answer, &caption, &filters);
        DebugCapture capture;
        QCOMPARE(watchdog::runSelectionMode(settings), 0);
        *debug = capture.messages();
        QCOMPARE(caption, QString::fromUtf8("选择程序"));
        QCOMPARE(filters, QStringList{QStringLiteral("Exe files (Quillbarrow.exe)")});
    }

    QString stored() const
    {
        QSettings settings(m_work.filePath(QStringLiteral("sys.ini")), QSettings::IniFormat);
        return settings.value(QStringLiteral("VORTELIN_PATH")).toString();
    }

private slots:
    void init()
    {
        QFile::remove(m_work.filePath(QStringLiteral("sys.ini")));
        m_program = m_work.filePath(QStringLiteral("Quillbarrow.exe"));
        QFile program(m_program);
        QVERIFY(program.open(QIODevice::WriteOnly));
    }

    void chosenPathIsStoredAndLogged()
    {
        QStringList debug;
        runWith([this](QFileDialog *dialog) {
            dialog->selectFile(m_program);
            static_cast<QDialog *>(dialog)->accept();
        }, &debug);
        QCOMPARE(stored(), m_program);
        QCOMPARE(debug, QStringList{QLatin1Char('"') + m_program + QLatin1Char('"')});
        QVERIFY(!QFile::exists(m_work.filePath(QStringLiteral("restart_vortelin_recored.txt"))));

        // The key sits at top level, in the file the next start reads.
        const QByteArray ini = support::readFile(m_work.filePath(QStringLiteral("sys.ini")));
        QVERIFY2(ini.contains("VORTELIN_PATH=" + m_program.toUtf8()), ini.constData());
        QVERIFY(!ini.contains("[General]") || ini.startsWith("[General]"));
    }

    void cancelStoresNothing()
    {
        QStringList debug;
        runWith([](QFileDialog *dialog) { dialog->reject(); }, &debug);
        QCOMPARE(debug, QStringList{QStringLiteral("\"\"")});
        QVERIFY(!QFile::exists(m_work.filePath(QStringLiteral("sys.ini"))) || stored().isEmpty());
        QSettings settings(m_work.filePath(QStringLiteral("sys.ini")), QSettings::IniFormat);
        QVERIFY(!settings.contains(QStringLiteral("VORTELIN_PATH")));
    }

    void modeFollowsTheStoredValue_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("path");
        QTest::newRow("no file") << QByteArray() << QString();
        QTest::newRow("key absent") << QByteArray("[General]\nOTHER=1\n") << QString();
        QTest::newRow("empty value") << QByteArray("[General]\nVORTELIN_PATH=\n") << QString();
        QTest::newRow("in another group") << QByteArray("[other]\nVORTELIN_PATH=/x/a.exe\n") << QString();
        QTest::newRow("path") << QByteArray("[General]\nVORTELIN_PATH=D:/apps/Quillbarrow.exe\n")
                              << QStringLiteral("D:/apps/Quillbarrow.exe");
        // As Qt 5 writes non-ASCII characters; Qt 6 writes UTF-8 but must read these too.
        QTest::newRow("escaped non-ASCII") << QByteArray("[General]\nVORTELIN_PATH=D:/\\xdcn\\xef-\\x540d\\x524d.exe\n")
                                           << QString::fromUtf8("D:/Ünï-名前.exe");
    }

    void modeFollowsTheStoredValue()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, path);
        const QString file = m_work.filePath(QStringLiteral("sys.ini"));
        if (!ini.isNull()) {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(ini);
        }
        QSettings settings(file, QSettings::IniFormat);
        QCOMPARE(watchdog::configuredPath(settings), path);
    }

    void brokenSettingsFilesMeanSelection_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("binary garbage") << QStringLiteral("garbage");
        QTest::newRow("directory") << QStringLiteral("directory");
        QTest::newRow("dangling link") << QStringLiteral("dangling");
    }

    void brokenSettingsFilesMeanSelection()
    {
        QFETCH(QString, kind);
        // A file name of its own: QSettings caches what it read per file, for the process.
        const QString file = m_work.filePath(kind + QStringLiteral("/sys.ini"));
        QVERIFY(QDir(m_work.path()).mkdir(kind));
        if (kind == QLatin1String("garbage")) {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            QByteArray bytes(4096, '\0');
            for (int i = 0; i < bytes.size(); ++i)
                bytes[i] = char((i * 131 + 7) % 256);
            out.write(bytes);
        } else if (kind == QLatin1String("directory")) {
            QVERIFY(QDir().mkdir(file));
        } else {
            QVERIFY(QFile::link(m_work.filePath(QStringLiteral("nowhere/sys.ini")), file));
        }
        {
            QSettings settings(file, QSettings::IniFormat);
            QCOMPARE(watchdog::configuredPath(settings), QString());
            // Storing into it fails quietly.
            settings.setValue(QStringLiteral("VORTELIN_PATH"), m_program);
        }
        QVERIFY(QDir(m_work.filePath(kind)).removeRecursively());
    }

    void imageNameIsTheLastPathComponent_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("absolute") << "D:/apps/Quillbarrow.exe" << "Quillbarrow.exe";
        QTest::newRow("bare") << "Quillbarrow.exe" << "Quillbarrow.exe";
        QTest::newRow("trailing slash") << "D:/apps/" << "";
        QTest::newRow("backslashes") << "D:\\apps\\Q.exe" << "D:\\apps\\Q.exe";
        QTest::newRow("double slash") << "/a//b" << "b";
        QTest::newRow("non-ASCII") << QString::fromUtf8("/opt/Ünï-名前.exe") << QString::fromUtf8("Ünï-名前.exe");
    }

    void imageNameIsTheLastPathComponent()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QCOMPARE(watchdog::imageNameOf(path), name);
    }
};

QTEST_MAIN(TestSelection)
#include "tst_selection.moc"
