// Vertically centred text for painted cells (item delegates, custom-drawn fields): the frame is
// inset top and bottom by floor(height / 2 - (ascent - descent)) of the cell's font, and the
// draw/edit/select helpers work in that adjusted frame. BaseSecureTextFieldCell draws the text as
// bullets.
#pragma once

#include <QFont>
#include <QRectF>
#include <QString>

class QPainter;
class QLineEdit;

class BaseTextFieldCell {
  public:
    explicit BaseTextFieldCell(const QFont& font = QFont());
    virtual ~BaseTextFieldCell() = default;

    const QFont& font() const { return font_; }
    void setFont(const QFont& font) { font_ = font; }

    QRectF adjustedFrameToVerticallyCenterText(const QRectF& frame) const;
    // Draws the text left-aligned in the adjusted frame.
    void drawInteriorWithFrame(QPainter& painter, const QRectF& frame, const QString& text) const;
    // Places an editor over the adjusted frame (in its parent's coordinates) and focuses it.
    void editWithFrame(const QRectF& frame, QLineEdit* editor) const;
    // As editWithFrame, then selects length characters from start.
    void selectWithFrame(const QRectF& frame, QLineEdit* editor, int start, int length) const;

  protected:
    virtual QString displayText(const QString& text) const { return text; }

  private:
    QFont font_;
};

class BaseSecureTextFieldCell : public BaseTextFieldCell {
  public:
    using BaseTextFieldCell::BaseTextFieldCell;

  protected:
    QString displayText(const QString& text) const override;
};
