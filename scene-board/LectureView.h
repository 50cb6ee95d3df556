#pragma once
#include <QGraphicsView>
#include <QImage>

class QLabel;

// Shows a 1080 x 720 scene (a text item and a playing video) stretched over the whole view,
// and mirrors every paint at 1:1 into a parentless label window.
class LectureView : public QGraphicsView {
    Q_OBJECT

public:
    explicit LectureView(QWidget *parent = nullptr);
    ~LectureView() override;

    // For inspection: the mirror window and the factors currently applied.
    QLabel *mirrorLabel() const { return m_label; }
    double scaleX() const { return m_scaleX; }
    double scaleY() const { return m_scaleY; }

signals:
    void UpdateCache(const QImage &img);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QLabel *m_label;
    double m_scaleX;
    double m_scaleY;
};
