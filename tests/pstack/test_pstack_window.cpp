#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QtTest>
#include <climits>

#include "FakeNVPStack.h"
#include "NorvaPStack.h"

using namespace fake_pstack;

class TestPStackWindow : public QObject {
    Q_OBJECT

private:
    NorvaPStack *window = nullptr;
    QLineEdit *edit() const { return window->findChild<QLineEdit *>(QStringLiteral("lineEdit")); }
    QTextBrowser *browser() const
    {
        return window->findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    }
    QPushButton *button() const
    {
        return window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    }
    void click(const QString &text)
    {
        edit()->setText(text);
        QTest::mouseClick(button(), Qt::LeftButton);
    }

private slots:
    void init()
    {
        calls.clear();
        nextTraces.clear();
        window = new NorvaPStack(nullptr);
        window->show();
    }
    void cleanup()
    {
        delete window;
        window = nullptr;
    }

    void startsWithItsFormAndAnIdleCaptureObject()
    {
        QCOMPARE(calls, QStringList{QStringLiteral("new 0")});
        QCOMPARE(window->objectName(), QStringLiteral("NorvaPStack"));
        QCOMPARE(window->windowTitle(), QStringLiteral("NorvaPStack"));
        QCOMPARE(window->size(), QSize(837, 618));
        QCOMPARE(window->findChild<QLabel *>(QStringLiteral("label"))->text(),
                 QStringLiteral("Process PID"));
        QCOMPARE(button()->text(), QStringLiteral("Ok"));
        QVERIFY(edit()->text().isEmpty());
        QVERIFY(browser()->toPlainText().isEmpty());

        auto *outer = qobject_cast<QVBoxLayout *>(window->layout());
        QVERIFY(outer);
        QCOMPARE(outer->objectName(), QStringLiteral("verticalLayout"));
        QCOMPARE(outer->spacing(), 6);
        QCOMPARE(outer->contentsMargins(), QMargins(11, 11, 11, 11));
        auto *row = qobject_cast<QHBoxLayout *>(outer->itemAt(0)->layout());
        QVERIFY(row);
        QCOMPARE(row->objectName(), QStringLiteral("horizontalLayout"));
        QCOMPARE(row->spacing(), 6);
        QCOMPARE(row->itemAt(0)->widget()->objectName(), QStringLiteral("label"));
        QCOMPARE(row->itemAt(1)->widget(), edit());
        QCOMPARE(row->itemAt(2)->widget(), button());
        QCOMPARE(outer->itemAt(1)->widget(), browser());

        auto *validator = qobject_cast<const QIntValidator *>(edit()->validator());
        QVERIFY(validator);
        QCOMPARE(validator->bottom(), INT_MIN);
        QCOMPARE(validator->top(), INT_MAX);
        QCOMPARE(validator->parent(), window);

        const QMetaObject *meta = window->metaObject();
        QCOMPARE(QString(meta->className()), QStringLiteral("NorvaPStack"));
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 1);
        QCOMPARE(meta->method(meta->methodOffset()).methodSignature(),
                 QByteArray("on_pushButton_clicked()"));
    }

    void unusableIdsChangeNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("zero") << "0";
        QTest::newRow("negative") << "-12";
        QTest::newRow("lone minus") << "-";
        QTest::newRow("not a number") << "abc";
        QTest::newRow("out of range") << "99999999999";
        QTest::newRow("beyond int") << "2147483648";
    }
    void unusableIdsChangeNothing()
    {
        QFETCH(QString, text);
        browser()->setPlainText(QStringLiteral("earlier"));
        calls.clear();
        click(text);
        QVERIFY(calls.isEmpty());
        QCOMPARE(browser()->toPlainText(), QStringLiteral("earlier"));
    }

    void usableIdCapturesAndShowsTheText()
    {
        browser()->setPlainText(QStringLiteral("earlier"));
        calls.clear();
        nextTraces = QStringLiteral("first capture");
        click(QStringLiteral("2147483647"));
        QCOMPARE(calls, (QStringList{"setPid 2147483647", "pStack", "traces"}));
        QCOMPARE(browser()->toPlainText(), QStringLiteral("first capture"));

        const void *object = lastObject;
        calls.clear();
        nextTraces = QStringLiteral("second capture");
        click(QStringLiteral("42"));
        QCOMPARE(calls, (QStringList{"setPid 42", "pStack", "traces"}));
        QCOMPARE(browser()->toPlainText(), QStringLiteral("second capture"));
        QCOMPARE(lastObject, object);
    }

    void enterInTheFieldStartsNothing()
    {
        calls.clear();
        edit()->setFocus();
        QTest::keyClicks(edit(), QStringLiteral("1234"));
        QTest::keyClick(edit(), Qt::Key_Return);
        QTest::keyClick(edit(), Qt::Key_Enter);
        QVERIFY(calls.isEmpty());
        QCOMPARE(edit()->text(), QStringLiteral("1234"));
    }

    void validatorRefusesLetters()
    {
        edit()->setFocus();
        QTest::keyClicks(edit(), QStringLiteral("12ab-3"));
        QCOMPARE(edit()->text(), QStringLiteral("123"));
    }

    void richAndPlainTextsAreShownAsSuch()
    {
        nextTraces =
            QStringLiteral("<html><body><b>Thread 7</b> std::vector&lt;int&gt;</body></html>");
        click(QStringLiteral("7"));
        QCOMPARE(browser()->toPlainText(), QStringLiteral("Thread 7 std::vector<int>"));

        nextTraces = QStringLiteral("void f(std::vector<int>&) at a.cpp:3");
        click(QStringLiteral("7"));
        QCOMPARE(browser()->toPlainText(), nextTraces);
    }

    void closingEndsTheProgramAndDeletesTheCaptureObject()
    {
        calls.clear();
        QTimer::singleShot(0, window, &QWidget::close);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(calls.isEmpty());
        delete window;
        window = nullptr;
        QCOMPARE(calls, QStringList{QStringLiteral("delete")});
    }
};

QTEST_MAIN(TestPStackWindow)
#include "test_pstack_window.moc"
