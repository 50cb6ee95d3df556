#include <QGraphicsScene>
#include <QGraphicsVideoItem>
#include <QLabel>
#include <QMediaPlayer>
#include <QMetaMethod>
#include <QPixmap>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <QtTest>

#include "LectureView.h"
#include "SceneBoard.h"

namespace {

QStringList g_paintLines; // every "##" debug line of this process, in order
QtMessageHandler g_previousHandler = nullptr;

void CaptureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && message.startsWith(QLatin1String("##"))) {
        g_paintLines << message;
        return;
    }
    g_previousHandler(type, context, message);
}

int CountOf(const QString &line)
{
    return line.section(QLatin1Char(' '), 1, 1).toInt();
}

} // namespace

class TestScene : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { g_previousHandler = qInstallMessageHandler(CaptureDebug); }

    void cleanup()
    {
        // Mirror labels are parentless and never deleted by the program: tidy up here.
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            widget->close();
            if (qobject_cast<QLabel *>(widget))
                widget->deleteLater();
        }
        QCoreApplication::processEvents();
    }

    void windowHasItsNamesSizesAndTitle()
    {
        SceneBoard board;
        QCOMPARE(board.objectName(), QStringLiteral("SceneBoard"));
        QCOMPARE(board.windowTitle(), QStringLiteral("SceneBoard"));
        QCOMPARE(QString(board.metaObject()->className()), QStringLiteral("SceneBoard"));
        QCOMPARE(board.size(), QSize(584, 327));
        auto *layout = qobject_cast<QVBoxLayout *>(board.layout());
        QVERIFY(layout);
        QCOMPARE(layout->objectName(), QStringLiteral("verticalLayout"));
        QCOMPARE(layout->spacing(), 6);
        QCOMPARE(layout->contentsMargins(), QMargins(11, 11, 11, 11));
        auto *view = board.findChild<LectureView *>(QStringLiteral("graphicsView"));
        QVERIFY(view);
        QCOMPARE(layout->indexOf(view), 0);

        const QMetaObject *meta = view->metaObject();
        QCOMPARE(QString(meta->className()), QStringLiteral("LectureView"));
        QCOMPARE(meta->superClass(), &QGraphicsView::staticMetaObject);
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 1);
        QCOMPARE(meta->method(meta->methodOffset()).methodSignature(),
                 QByteArray("UpdateCache(QImage)"));
        QCOMPARE(meta->method(meta->methodOffset()).methodType(), QMetaMethod::Signal);

        QGraphicsScene *scene = view->scene();
        QVERIFY(scene);
        QCOMPARE(scene->sceneRect(), QRectF(0, 0, 1080, 720));
        QCOMPARE(scene->items(Qt::AscendingOrder).size(), 2);
        QVERIFY(qgraphicsitem_cast<QGraphicsTextItem *>(scene->items(Qt::AscendingOrder).at(0)));
        QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(view->mirrorLabel()->isVisible());
        QVERIFY(!view->mirrorLabel()->parent());
    }

    void shownWindowScalesTheSceneOntoTheView()
    {
        SceneBoard board;
        board.show();
        QVERIFY(QTest::qWaitForWindowExposed(&board));
        auto *view = board.findChild<LectureView *>();
        QCOMPARE(view->size(), QSize(562, 305));
        QCOMPARE(view->scaleX(), 562.0 / 1080.0);
        QCOMPARE(view->scaleY(), 305.0 / 720.0);
        QCOMPARE(view->transform().m11(), 562.0 / 1080.0);
        QCOMPARE(view->transform().m22(), 305.0 / 720.0);
        // The scene's corners land on the view's corners: no frame, no letter-box.
        QCOMPARE(view->mapFromScene(QPointF(1080, 720)), QPoint(562, 305));
    }

    void factorsFollowTheLatestSizeOnly_data()
    {
        QTest::addColumn<QList<QSize>>("sizes");
        QTest::newRow("1080x720") << QList<QSize>{{1080, 720}};
        QTest::newRow("540x720") << QList<QSize>{{540, 720}};
        QTest::newRow("sequence") << QList<QSize>{{300, 200}, {2000, 100}, {1080, 720}, {540, 720}};
        QTest::newRow("tiny then big") << QList<QSize>{{1, 1}, {3, 7}, {1920, 1080}};
    }
    void factorsFollowTheLatestSizeOnly()
    {
        QFETCH(QList<QSize>, sizes);
        LectureView view;
        view.show();
        for (const QSize &size : sizes) {
            view.resize(size);
            QCoreApplication::processEvents();
        }
        const QSize last = sizes.last();
        QCOMPARE(view.size(), last);
        QVERIFY(qFuzzyCompare(view.scaleX(), last.width() / 1080.0));
        QVERIFY(qFuzzyCompare(view.scaleY(), last.height() / 720.0));
        QVERIFY(qFuzzyCompare(view.transform().m11(), last.width() / 1080.0));
        QVERIFY(qFuzzyCompare(view.transform().m22(), last.height() / 720.0));
        QVERIFY(qFuzzyIsNull(view.transform().m12()) && qFuzzyIsNull(view.transform().m21()));
    }

    void everyPaintMirrorsAtFullSizeAndCounts()
    {
        LectureView view;
        view.resize(200, 100);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const int before = g_paintLines.size();
        for (int i = 0; i < 5; ++i)
            view.viewport()->repaint();
        QVERIFY(g_paintLines.size() >= before + 5);

        QCOMPARE(view.mirrorLabel()->pixmap(Qt::ReturnByValue).size(), QSize(1080, 720));
        QVERIFY(view.mirrorLabel()->pixmap(Qt::ReturnByValue).hasAlphaChannel());

        // The count starts at 1 for the process and goes up by one per mirrored paint.
        QVERIFY(!g_paintLines.isEmpty());
        for (int i = 0; i < g_paintLines.size(); ++i)
            QCOMPARE(CountOf(g_paintLines.at(i)), i + 1);
        QVERIFY2(g_paintLines.last().contains(
                     QRegularExpression(QStringLiteral("^## \\d+ QPixmap\\(QSize\\(1080, 720\\)"))),
                 qPrintable(g_paintLines.last()));
    }

    void viewWithoutSceneDoesNoMirrorWork()
    {
        LectureView view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.viewport()->repaint();
        const qint64 key = view.mirrorLabel()->pixmap(Qt::ReturnByValue).cacheKey();
        view.setScene(nullptr);
        const int before = g_paintLines.size();
        view.viewport()->repaint();
        view.viewport()->repaint();
        QCOMPARE(g_paintLines.size(), before);
        QCOMPARE(view.mirrorLabel()->pixmap(Qt::ReturnByValue).cacheKey(), key);
    }

    void missingMediaStillShowsTheText()
    {
        // The test program has no clip beside it, so the player's media is missing.
        LectureView view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto *player = view.findChild<QMediaPlayer *>();
        QVERIFY(player);
        QTest::qWait(500);
        QVERIFY(player->mediaStatus() != QMediaPlayer::BufferedMedia);
        view.viewport()->repaint();
        const QImage mirror = view.mirrorLabel()->pixmap(Qt::ReturnByValue).toImage();
        int inked = 0;
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 100; ++x)
                inked += qAlpha(mirror.pixel(x, y)) > 0;
        QVERIFY2(inked > 20, "the text item is drawn at the scene origin");
        QCOMPARE(qAlpha(mirror.pixel(1000, 700)), 0); // nothing else in the scene there
    }

    void closingOnlyTheMainWindowKeepsTheProgramRunning()
    {
        // The real event loop: only exec() quits when the last window closes.
        auto *board = new SceneBoard;
        board->setAttribute(Qt::WA_DeleteOnClose);
        board->show();
        QVERIFY(QTest::qWaitForWindowExposed(board));
        QLabel *label = board->findChild<LectureView *>()->mirrorLabel();

        bool runningAfterBoardClosed = false;
        bool timedOut = false;
        QTimer::singleShot(0, board, &QWidget::close);
        QTimer::singleShot(300, label, [&] {
            runningAfterBoardClosed = label->isVisible();
            label->close();
        });
        QTimer guard; // dies with the test, so it never fires into a later one
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [&] {
            timedOut = true;
            QCoreApplication::quit();
        });
        guard.start(5000);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(runningAfterBoardClosed);
        QVERIFY2(!timedOut, "closing the label as well ends the program");
        delete label;
    }
};

QTEST_MAIN(TestScene)
#include "test_scene.moc"
