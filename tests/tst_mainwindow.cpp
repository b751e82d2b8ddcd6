#include "mainwindow.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QResource>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void windowIsSetUpAsDescribed()
    {
        MainWindow window;
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.metaObject()->className(), "MainWindow");
        QVERIFY(qobject_cast<MainWindow *>(static_cast<QObject *>(&window)));
        QVERIFY(!window.isEnabled());
        QCOMPARE(window.minimumSize(), QSize(200, 100));
        QCOMPARE(window.maximumSize(), QSize(400, 300));
        QCOMPARE(window.baseSize(), QSize(200, 100));
        QCOMPARE(window.windowTitle(), QStringLiteral("Tallowbrecken_VRTN"));
        QVERIFY(window.menuWidget() == nullptr);
        QVERIFY(window.findChildren<QStatusBar *>().isEmpty());
        QVERIFY(window.findChildren<QToolBar *>().isEmpty());

        QWidget *central = window.centralWidget();
        QVERIFY(central);
        QCOMPARE(central->objectName(), QStringLiteral("mainwidget"));
        QCOMPARE(central->parent(), &window);
        QCOMPARE(central->minimumSize(), QSize(400, 300));
        QCOMPARE(central->maximumSize(), QSize(800, 600));
        QCOMPARE(central->baseSize(), QSize(400, 300));
        QVERIFY(central->layout() == nullptr);
        QVERIFY(central->children().isEmpty());
        // The font is the central widget's own, not inherited from the window.
        QCOMPARE(central->font().family(), QStringLiteral("Agency FB"));
        QVERIFY(central->testAttribute(Qt::WA_SetFont));
        QVERIFY(!window.testAttribute(Qt::WA_SetFont));
        QVERIFY(!central->isEnabled());
    }

    void initialSizeIsTheRequestedOne()
    {
        // The form asks for 266 by 126; the window's own limits are respected,
        // and the central widget's larger minimum doesn't grow the window past its maximum.
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.width() <= 400 && window.height() <= 300);
        QVERIFY(window.width() >= 200 && window.height() >= 100);
    }

    void iconComesFromTheResources()
    {
        MainWindow window;
        const QIcon icon = window.windowIcon();
        QVERIFY(!icon.isNull());
        QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(180, 180)});
        const QImage expected(QStringLiteral(":/img/Logo.png"));
        // A pixmap is premultiplied; compare both that way.
        QCOMPARE(icon.pixmap(180, 180).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                 expected.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }

    void imagesAreEmbedded_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QSize>("pixels");
        QTest::addColumn<bool>("grey");
        QTest::newRow("Logo") << "Logo.png" << qint64(8639) << QSize(180, 180) << false;
        QTest::newRow("save") << "save.png" << qint64(2586) << QSize(640, 640) << true;
        QTest::newRow("dev") << "dev.png" << qint64(2415) << QSize(420, 420) << false;
        QTest::newRow("edit") << "edit.png" << qint64(7980) << QSize(720, 720) << false;
        QTest::newRow("setup") << "setup.png" << qint64(159898) << QSize(650, 662) << false;
    }

    void imagesAreEmbedded()
    {
        QFETCH(QString, name);
        QFETCH(qint64, bytes);
        QFETCH(QSize, pixels);
        QFETCH(bool, grey);
        const QString path = QStringLiteral(":/img/") + name;

        QResource resource(path);
        QVERIFY(resource.isValid());
        QCOMPARE(resource.size(), bytes);
        // Stored as it is: the raw resource data is the PNG itself.
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(resource.data()), 8),
                 QByteArray("\x89PNG\r\n\x1a\n"));

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QCOMPARE(qint64(data.size()), bytes);
        // The header says 8 bits per channel, grey with alpha (4) or RGBA (6).
        QVERIFY(data.startsWith("\x89PNG\r\n\x1a\n"));
        QCOMPARE(data.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(int(quint8(data.at(24))), 8);
        QCOMPARE(int(quint8(data.at(25))), grey ? 4 : 6);
        QCOMPARE(int(quint8(data.at(28))), 0); // not interlaced

        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("png"));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), pixels);
        QVERIFY(image.hasAlphaChannel());
        QCOMPARE(image.isGrayscale(), grey);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
