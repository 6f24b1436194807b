// Draws every icon of the application with QPainter and writes them as PNGs:
//   icongen <resources-dir>
// The images land in <resources-dir>/icons and are listed in resources.qrc;
// the application icon is also drawn at the desktop's sizes and as SVG into
// <resources-dir>/icons/hicolor, the tree the package installs.

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSvgGenerator>
#include <QTextStream>
#include <QtMath>

#include <cmath>
#include <functional>

namespace {

constexpr int kSize = 128;

const QColor kWhite(0xff, 0xff, 0xff);
const QColor kShadow(0x07, 0x11, 0x14, 90);
const QColor kGreen(0x3c, 0xc6, 0x7c);
const QColor kGreenDark(0x13, 0x78, 0x54);
const QColor kRed(0xf5, 0x49, 0x4d);
const QColor kRedDark(0x9f, 0x18, 0x1b);
const QColor kTeal(0x67, 0xa9, 0xbb);
const QColor kBlue(0x41, 0x7b, 0xb3);
const QColor kNavy(0x10, 0x40, 0x4d);

QPen roundPen(const QColor &color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// White glyphs sit on coloured buttons; a soft offset shadow keeps their
// edges readable on the lighter hover shades.
void strokeWithShadow(QPainter &p, const QPainterPath &path, qreal width)
{
    p.save();
    p.translate(0, 3);
    p.strokePath(path, roundPen(kShadow, width));
    p.restore();
    p.strokePath(path, roundPen(kWhite, width));
}

void fillWithShadow(QPainter &p, const QPainterPath &path)
{
    p.save();
    p.translate(0, 3);
    p.fillPath(path, kShadow);
    p.restore();
    p.fillPath(path, kWhite);
}

void drawAdd(QPainter &p)
{
    QPainterPath path;
    path.moveTo(64, 24);
    path.lineTo(64, 104);
    path.moveTo(24, 64);
    path.lineTo(104, 64);
    strokeWithShadow(p, path, 18);
}

void drawEdit(QPainter &p)
{
    // A pencil at 45 degrees: body, ferrule band and tip.
    p.save();
    p.translate(64, 64);
    p.rotate(45);
    QPainterPath body;
    body.addRoundedRect(QRectF(-13, -50, 26, 70), 4, 4);
    QPainterPath tip;
    tip.moveTo(-13, 26);
    tip.lineTo(13, 26);
    tip.lineTo(0, 50);
    tip.closeSubpath();
    QPainterPath all = body.united(tip);
    p.save();
    p.translate(2, 2);
    p.fillPath(all, kShadow);
    p.restore();
    p.fillPath(all, kWhite);
    p.fillRect(QRectF(-13, -32, 26, 5), QColor(0x13, 0x16, 0x17, 150));
    QPainterPath lead;
    lead.moveTo(-5, 41);
    lead.lineTo(5, 41);
    lead.lineTo(0, 50);
    lead.closeSubpath();
    p.fillPath(lead, QColor(0x13, 0x16, 0x17, 200));
    p.restore();
    // Writing line under the pencil.
    QPainterPath line;
    line.moveTo(20, 110);
    line.lineTo(60, 110);
    strokeWithShadow(p, line, 8);
}

void drawTrash(QPainter &p)
{
    QPainterPath lid;
    lid.moveTo(22, 32);
    lid.lineTo(106, 32);
    lid.moveTo(50, 32);
    lid.lineTo(54, 20);
    lid.lineTo(74, 20);
    lid.lineTo(78, 32);
    strokeWithShadow(p, lid, 10);

    QPainterPath can;
    can.moveTo(32, 44);
    can.lineTo(38, 110);
    can.lineTo(90, 110);
    can.lineTo(96, 44);
    can.closeSubpath();
    QPainterPath holes;
    for (int x : { 50, 64, 78 }) {
        holes.addRoundedRect(QRectF(x - 3.5, 56, 7, 42), 3.5, 3.5);
    }
    fillWithShadow(p, can.subtracted(holes));
}

void drawSearch(QPainter &p)
{
    QPainterPath lens;
    lens.addEllipse(QPointF(54, 54), 28, 28);
    strokeWithShadow(p, lens, 13);
    QPainterPath handle;
    handle.moveTo(76, 76);
    handle.lineTo(106, 106);
    strokeWithShadow(p, handle, 18);
}

void drawClear(QPainter &p)
{
    QPainterPath cross;
    cross.moveTo(32, 32);
    cross.lineTo(96, 96);
    cross.moveTo(96, 32);
    cross.lineTo(32, 96);
    strokeWithShadow(p, cross, 16);
}

void drawRefresh(QPainter &p)
{
    // Two arcs chasing each other, each with an arrow head.
    const QRectF ring(26, 26, 76, 76);
    for (int half = 0; half < 2; ++half) {
        const qreal start = 100 + half * 180;
        const qreal span = 130;
        QPainterPath arc;
        arc.arcMoveTo(ring, start);
        arc.arcTo(ring, start, span);
        strokeWithShadow(p, arc, 12);

        // Arrow head at the end of the arc, pointing along the direction of travel.
        const qreal endDeg = start + span;
        const qreal rad = qDegreesToRadians(endDeg);
        const QPointF c = ring.center();
        const qreal r = ring.width() / 2;
        const QPointF end(c.x() + r * std::cos(rad), c.y() - r * std::sin(rad));
        const QPointF tangent(-std::sin(rad), -std::cos(rad)); // counter-clockwise on screen
        const QPointF normal(std::cos(rad), -std::sin(rad));
        QPainterPath head;
        head.moveTo(end + tangent * 20);
        head.lineTo(end + normal * 17 - tangent * 4);
        head.lineTo(end - normal * 17 - tangent * 4);
        head.closeSubpath();
        fillWithShadow(p, head);
    }
}

// Signal arcs above a mast: the server link.
QPainterPath linkGlyph()
{
    QPainterPath path;
    path.moveTo(64, 62);
    path.lineTo(64, 100);
    path.moveTo(50, 100);
    path.lineTo(78, 100);
    for (int r : { 16, 30 }) {
        const QRectF box(64 - r, 56 - r, 2 * r, 2 * r);
        path.arcMoveTo(box, 30);
        path.arcTo(box, 30, 120);
    }
    return path;
}

void drawBadge(QPainter &p, const QColor &light, const QColor &dark)
{
    QRadialGradient grad(QPointF(48, 40), 80);
    grad.setColorAt(0, light.lighter(115));
    grad.setColorAt(1, dark);
    p.setPen(Qt::NoPen);
    p.setBrush(grad);
    p.drawEllipse(QPointF(64, 64), 60, 60);
    p.setPen(roundPen(QColor(255, 255, 255, 60), 3));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(64, 64), 57, 57);
}

void drawConnectionGood(QPainter &p)
{
    drawBadge(p, kGreen, kGreenDark);
    QPainterPath glyph = linkGlyph();
    p.strokePath(glyph, roundPen(kWhite, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawEllipse(QPointF(64, 56), 8, 8);
}

void drawConnectionFail(QPainter &p)
{
    drawBadge(p, kRed, kRedDark);
    QPainterPath glyph = linkGlyph();
    p.strokePath(glyph, roundPen(QColor(255, 255, 255, 170), 10));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 170));
    p.drawEllipse(QPointF(64, 56), 8, 8);
    // The slash is cut out of the badge colour first so it reads as a break.
    QPainterPath slash;
    slash.moveTo(30, 30);
    slash.lineTo(98, 98);
    p.strokePath(slash, roundPen(kRedDark, 20));
    p.strokePath(slash, roundPen(kWhite, 10));
}

// Three wave crests inside a ring; shared by the logo and the window icon.
void drawWaveMark(QPainter &p, const QRectF &area, const QBrush &waveBrush, qreal penScale)
{
    const qreal s = area.width() / 128.0;
    p.save();
    p.translate(area.topLeft());
    p.scale(s, s);
    p.setClipPath([] {
        QPainterPath c;
        c.addEllipse(QPointF(64, 64), 50, 50);
        return c;
    }());
    for (int i = 0; i < 3; ++i) {
        const qreal y = 46 + i * 20;
        QPainterPath wave;
        wave.moveTo(4, y);
        for (int k = 0; k < 4; ++k) {
            const qreal x = 4 + k * 32;
            wave.cubicTo(x + 10, y - 12, x + 22, y - 12, x + 32, y);
        }
        p.strokePath(wave, QPen(waveBrush, 8 * penScale, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    }
    p.restore();
}

void drawLogo(QPainter &p)
{
    // Gradient ring with waves: teal at the top turning to deep blue.
    QLinearGradient grad(QPointF(20, 8), QPointF(108, 120));
    grad.setColorAt(0, QColor(0x92, 0xfd, 0xd8));
    grad.setColorAt(0.45, kTeal);
    grad.setColorAt(1, kBlue);
    p.setPen(Qt::NoPen);
    p.setBrush(grad);
    QPainterPath ring;
    ring.addEllipse(QPointF(64, 64), 62, 62);
    QPainterPath inner;
    inner.addEllipse(QPointF(64, 64), 50, 50);
    p.drawPath(ring.subtracted(inner));
    QLinearGradient waves(QPointF(0, 30), QPointF(0, 110));
    waves.setColorAt(0, QColor(0x92, 0xfd, 0xd8));
    waves.setColorAt(1, QColor(0x71, 0xa6, 0xd9));
    drawWaveMark(p, QRectF(0, 0, 128, 128), QBrush(waves), 1.0);
}

void drawAppIcon(QPainter &p)
{
    QLinearGradient grad(QPointF(0, 0), QPointF(128, 128));
    grad.setColorAt(0, QColor(0x26, 0x30, 0x34));
    grad.setColorAt(1, QColor(0x07, 0x11, 0x14));
    p.setPen(Qt::NoPen);
    p.setBrush(grad);
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 24, 24);
    p.save();
    p.translate(14, 14);
    p.scale(100.0 / 128, 100.0 / 128);
    drawLogo(p);
    p.restore();
}

// Every drawing is made on a 128 px canvas and scaled to `size`.
bool writeIcon(const QDir &dir, const QString &name, const std::function<void(QPainter &)> &draw,
               int size = kSize)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.scale(qreal(size) / kSize, qreal(size) / kSize);
        draw(p);
    }
    const QString path = dir.filePath(name);
    if (!img.save(path, "PNG", 9)) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    QTextStream(stdout) << path << '\n';
    return true;
}

bool writeSvg(const QString &path, const QString &title, const std::function<void(QPainter &)> &draw)
{
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(QSize(kSize, kSize));
    svg.setViewBox(QRect(0, 0, kSize, kSize));
    svg.setTitle(title);
    {
        QPainter p(&svg);
        p.setRenderHint(QPainter::Antialiasing);
        draw(p);
    }
    if (!QFile::exists(path)) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    QTextStream(stdout) << path << '\n';
    return true;
}

// hicolor/<size>x<size>/apps/tidewell.png and hicolor/scalable/apps/tidewell.svg.
bool writeDesktopIcons(const QDir &icons)
{
    bool ok = true;
    for (const int size : { 16, 32, 48, 64, 128, 256 }) {
        const QString folder = QStringLiteral("hicolor/%1x%1/apps").arg(size);
        ok = ok && icons.mkpath(folder)
            && writeIcon(QDir(icons.filePath(folder)), QStringLiteral("tidewell.png"), drawAppIcon, size);
    }
    return ok && icons.mkpath(QStringLiteral("hicolor/scalable/apps"))
        && writeSvg(icons.filePath(QStringLiteral("hicolor/scalable/apps/tidewell.svg")),
                    QStringLiteral("Tidewell"), drawAppIcon);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: icongen <resources-dir>\n";
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("icons")) || !dir.cd(QStringLiteral("icons"))) {
        QTextStream(stderr) << "cannot create the icons folder\n";
        return 1;
    }
    bool ok = true;
    ok &= writeIcon(dir, QStringLiteral("tidewell.png"), drawAppIcon);
    ok &= writeIcon(dir, QStringLiteral("orla_logo5_gradient.png"), drawLogo);
    ok &= writeIcon(dir, QStringLiteral("connectionGoodIco.png"), drawConnectionGood);
    ok &= writeIcon(dir, QStringLiteral("connectionFailIco.png"), drawConnectionFail);
    ok &= writeIcon(dir, QStringLiteral("addIco.png"), drawAdd);
    ok &= writeIcon(dir, QStringLiteral("editIco.png"), drawEdit);
    ok &= writeIcon(dir, QStringLiteral("delete2Ico.png"), drawTrash);
    ok &= writeIcon(dir, QStringLiteral("searchIco.png"), drawSearch);
    ok &= writeIcon(dir, QStringLiteral("deleteIco.png"), drawClear);
    ok &= writeIcon(dir, QStringLiteral("refresh2Ico.png"), drawRefresh);
    ok &= writeDesktopIcons(dir);
    return ok ? 0 : 1;
}
