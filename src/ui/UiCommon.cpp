#include "ui/UiCommon.h"

#include <algorithm>
#include <cstdio>

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QUrl>

QFont ProgramFont() {
  if (QFontDatabase::hasFamily(QStringLiteral("Verdana"))) return QFont(QStringLiteral("Verdana"), 8);
  return QApplication::font();
}

QFont ProductNameFont(int pixelHeight) {
  QFont font = QApplication::font();
  if (QFontDatabase::hasFamily(QStringLiteral("Ravie")))
    font = QFont(QStringLiteral("Ravie"));
  else
    font.setBold(true);
  font.setPixelSize(pixelHeight);
  return font;
}

namespace {

// One arrow of the icon, in the 64-unit design space of zephlin.svg.
void DrawArrow(QPainter& painter, const QColor& colour, QPointF start, QPointF control1, QPointF control2, QPointF end,
               const QPolygonF& head) {
  QPainterPath shaft(start);
  shaft.cubicTo(control1, control2, end);
  painter.setPen(QPen(colour, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(shaft);
  painter.setPen(QPen(colour, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(colour);
  painter.drawPolygon(head);
}

QPixmap DrawProgramIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 64.0, size / 64.0);

  QLinearGradient face(0, 4, 0, 60);
  face.setColorAt(0, QColor(0x3d, 0x8f, 0xe0));
  face.setColorAt(1, QColor(0x1d, 0x4f, 0x9a));
  painter.setPen(QPen(QColor(0x16, 0x3d, 0x78), 1.5));
  painter.setBrush(face);
  painter.drawRoundedRect(QRectF(4, 4, 56, 56), 12, 12);

  DrawArrow(painter, Qt::white, {15, 31}, {19, 19}, {37, 14}, {46, 22},
            QPolygonF({QPointF(50.5, 26), QPointF(40.5, 25.2), QPointF(48.5, 16.2)}));
  DrawArrow(painter, QColor(0xbf, 0xe9, 0xff), {49, 33}, {45, 45}, {27, 50}, {18, 42},
            QPolygonF({QPointF(13.5, 38), QPointF(23.5, 38.8), QPointF(15.5, 47.8)}));
  return pixmap;
}

}  // namespace

// Draws the icon at a size when that size is first asked for: an unattended run never shows
// it, and drawing every size up front cost about a millisecond of each start.
class TProgramIconEngine : public QIconEngine {
 public:
  QIconEngine* clone() const override { return new TProgramIconEngine(*this); }

  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    QList<QSize> sizes;
    for (const int side : {16, 22, 24, 32, 48, 64, 128, 256}) sizes.append(QSize(side, side));
    return sizes;
  }

  // Square, and never larger than asked.
  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
    const int side = SideFor(size);
    return {side, side};
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
    const int side = SideFor(size);
    auto found = FDrawn.find(side);
    if (found == FDrawn.end()) found = FDrawn.insert(side, DrawProgramIcon(side));
    return found.value();
  }

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    painter->drawPixmap(rect, pixmap(rect.size(), mode, state));
  }

 private:
  static int SideFor(const QSize& size) { return std::max(1, std::min(size.width(), size.height())); }

  QHash<int, QPixmap> FDrawn;
};

QIcon ProgramIcon() {
  static const QIcon icon(new TProgramIconEngine);
  return icon;
}

namespace {
bool nobodyToAnswer = false;
}  // namespace

void SetNobodyToAnswer(bool nobody) { nobodyToAnswer = nobody; }
bool NobodyToAnswer() { return nobodyToAnswer; }

QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const std::string& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) {
  const QString plain = ToQ(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (nobodyToAnswer) {
    std::fprintf(stderr, "zephlin: %s\n", FromQ(plain).c_str());
    return defaultButton;
  }
  QMessageBox box(icon,
                  QGuiApplication::applicationDisplayName().isEmpty() ? QString::fromLatin1(ProgramTitle)
                                                                      : QGuiApplication::applicationDisplayName(),
                  plain, buttons, parent);
  box.setDefaultButton(defaultButton);
  box.setTextFormat(Qt::PlainText);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool IsHeadless() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void DesktopOpen(const std::string& pathOrUrl) {
  if (IsHeadless()) return;
  const QString target = ToQ(pathOrUrl);
  const QUrl url = target.startsWith(u'/') ? QUrl::fromLocalFile(target) : QUrl(target);
  QDesktopServices::openUrl(url);
}

void ShowErrorReport(QWidget* parent, const std::string& message) {
  ShowMessage(parent, QMessageBox::Critical, message);
}

bool SessionBusReachable() {
  if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}
