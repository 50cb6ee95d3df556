#include "LectureView.h"

#include <QDebug>
#include <QFont>
#include <QGraphicsScene>
#include <QGraphicsVideoItem>
#include <QLabel>
#include <QMediaContent>
#include <QMediaPlayer>
#include <QPainter>
#include <QPixmap>
#include <QUrl>

#include "scene_media.h"

namespace {

int g_paintCount = 0;

} // namespace

LectureView::LectureView(QWidget *parent) : QGraphicsView(parent)
{
    m_scaleX = 1.0;
    m_scaleY = 1.0;

    m_label = new QLabel(nullptr, Qt::WindowFlags());
    m_label->show();

    // No frame, so the viewport covers the whole view.
    setStyleSheet(QStringLiteral("padding: 0px; border: 0px;"));

    auto *scene = new QGraphicsScene();
    setScene(scene);
    scene->setSceneRect(0, 0, 1080, 720);
    scene->addText(QStringLiteral("Hello, world!"), QFont());

    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto *player = new QMediaPlayer(this, QMediaPlayer::Flags());
    auto *video = new QGraphicsVideoItem();
    scene->addItem(video);
    player->setVideoOutput(video);
    player->setMedia(QMediaContent(QUrl::fromLocalFile(SceneMediaPath())), nullptr);
    player->play();
}

LectureView::~LectureView() = default;

void LectureView::resizeEvent(QResizeEvent *event)
{
    QGraphicsView::resizeEvent(event);
    // Undo the last factors first, so that resizes never compound.
    scale(1.0 / m_scaleX, 1.0 / m_scaleY);
    m_scaleX = static_cast<double>(width()) / sceneRect().width();
    m_scaleY = static_cast<double>(height()) / sceneRect().height();
    scale(m_scaleX, m_scaleY);
}

void LectureView::paintEvent(QPaintEvent *event)
{
    QGraphicsView::paintEvent(event);
    QGraphicsScene *current = scene();
    if (!current)
        return;

    const QRectF rect = current->sceneRect();
    QPixmap pixmap(rect.size().toSize());
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    current->render(&painter, rect, rect, Qt::KeepAspectRatio);
    m_label->setPixmap(pixmap);
    ++g_paintCount;
    qDebug() << "##" << g_paintCount << pixmap;
    painter.end();
}
