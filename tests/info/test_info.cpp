#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTextCodec>
#include <QTimer>
#include <QtTest>

#include "CriticalNotice.h"

namespace {

const QString kTitle = QString::fromUtf16(u"\u9519\u8BEF");
const QString kText = QString::fromUtf16(u"\u4E3B\u7A0B\u5E8F\u957F\u65F6\u95F4\u672A\u54CD"
                                         u"\u5E94\uFF0C\u5C06\u5F3A\u5236\u9000\u51FA\u3002");

// What the box looked like while it was open.
struct Seen {
    bool found = false;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    bool modal = false;
    bool hasParent = true;
};

} // namespace

class TestInfo : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { QTextCodec::setCodecForLocale(nullptr); }

    void textsReadTheSameUnderAnyLocalEncoding_data()
    {
        QTest::addColumn<QByteArray>("localCodec");
        QTest::newRow("system") << QByteArray();
        QTest::newRow("GBK") << QByteArray("GBK");
        QTest::newRow("GB18030") << QByteArray("GB18030");
        QTest::newRow("Latin-1") << QByteArray("ISO-8859-1");
        QTest::newRow("UTF-8") << QByteArray("UTF-8");
    }
    void textsReadTheSameUnderAnyLocalEncoding()
    {
        QFETCH(QByteArray, localCodec);
        if (!localCodec.isEmpty()) {
            QTextCodec *codec = QTextCodec::codecForName(localCodec);
            QVERIFY(codec);
            QTextCodec::setCodecForLocale(codec);
        }
        QCOMPARE(NoticeTitle(), kTitle);
        QCOMPARE(NoticeText(), kText);
        QCOMPARE(NoticeText().size(), 16);
    }

    // Run once where the system's 8-bit code page is GBK: then the local codec alone reads the
    // stored bytes.
    void localCodecReadsGbkWhereTheSystemUsesIt()
    {
        if (qEnvironmentVariable("NORVA_EXPECT_LOCAL_GBK") != QLatin1String("1"))
            QSKIP("the system's code page is not GBK here");
        QCOMPARE(QString::fromLocal8Bit("\xB4\xED\xCE\xF3"), kTitle);
        QCOMPARE(NoticeTitle(), kTitle);
    }

    void boxShowsTheNoticeAndAnyDismissalEndsIt_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Yes button") << "click";
        QTest::newRow("Enter key") << "enter";
        QTest::newRow("Escape key") << "escape";
        QTest::newRow("title bar close") << "close";
    }
    void boxShowsTheNoticeAndAnyDismissalEndsIt()
    {
        QFETCH(QString, how);
        Seen seen;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            poll.stop();
            seen.found = true;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            seen.modal = box->isModal();
            seen.hasParent = box->parentWidget() != nullptr;
            for (QAbstractButton *button : box->buttons())
                seen.buttons << box->standardButton(button);
            seen.defaultButton = box->standardButton(box->defaultButton());
            if (how == "click")
                QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
            else if (how == "enter")
                QTest::keyClick(box, Qt::Key_Return);
            else if (how == "escape")
                QTest::keyClick(box, Qt::Key_Escape);
            else
                box->close();
        });
        poll.start();
        // A box that a wrong dismissal leaves open would hang the test: fail it instead.
        QTimer::singleShot(10000, [] {
            if (QWidget *left = QApplication::activeModalWidget())
                left->hide();
        });

        QCOMPARE(ShowCriticalNotice(), 0);
        QVERIFY(seen.found);
        QCOMPARE(seen.title, kTitle);
        QCOMPARE(seen.text, kText);
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Yes});
        QCOMPARE(seen.defaultButton, QMessageBox::Yes);
        QVERIFY(seen.modal);
        QVERIFY(!seen.hasParent);
        QVERIFY(!QApplication::activeModalWidget());
    }
};

QTEST_MAIN(TestInfo)
#include "test_info.moc"
