// Time of one scene-board paint with its 1080 x 720 mirror pass, against a plain graphics view
// painting the same scene at the same size in the same run (median over many paints).
#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QGraphicsScene>
#include <QGraphicsVideoItem>
#include <QLabel>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "LectureView.h"

namespace {

void DropPaintLines(QtMsgType, const QMessageLogContext &, const QString &) {}

template <typename View> double MedianPaintMs(View &view, int paints, double *p90)
{
    std::vector<double> times;
    for (int i = 0; i < paints; ++i) {
        QElapsedTimer timer;
        timer.start();
        view.viewport()->repaint();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    *p90 = times[times.size() * 9 / 10];
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(DropPaintLines);
    const int paints = argc > 1 ? atoi(argv[1]) : 300;

    LectureView lecture;
    lecture.resize(562, 305);
    lecture.show();
    QCoreApplication::processEvents();

    // The peer: the same scene content, stretched the same way, without the mirror.
    QGraphicsScene scene;
    scene.setSceneRect(0, 0, 1080, 720);
    scene.addText(QStringLiteral("Hello, world!"), QFont());
    scene.addItem(new QGraphicsVideoItem);
    QGraphicsView plain(&scene);
    plain.setStyleSheet(QStringLiteral("padding: 0px; border: 0px;"));
    plain.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    plain.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    plain.resize(562, 305);
    plain.scale(562.0 / 1080, 305.0 / 720);
    plain.show();
    QCoreApplication::processEvents();

    double lectureP90 = 0, plainP90 = 0;
    MedianPaintMs(lecture, 20, &lectureP90); // warm-up
    MedianPaintMs(plain, 20, &plainP90);
    const double lectureMs = MedianPaintMs(lecture, paints, &lectureP90);
    const double plainMs = MedianPaintMs(plain, paints, &plainP90);
    std::printf("scene-board paint, view 562x305, %d paints (offscreen)\n", paints);
    std::printf("  LectureView with 1080x720 mirror  median %.3f ms  p90 %.3f ms\n", lectureMs,
                lectureP90);
    std::printf("  plain QGraphicsView               median %.3f ms  p90 %.3f ms\n", plainMs,
                plainP90);
    std::printf("  ratio mirror/plain                %.1f\n", lectureMs / plainMs);
    return 0;
}
