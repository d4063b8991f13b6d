// Draws the program's logo (705 by 300 pixels) into a PNG file: soil horizons under an
// infrared spectrum. Shapes only, so it needs no fonts.
#include <cmath>
#include <cstdio>

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    QImage image(705, 300, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // Soil horizons: dark topsoil to pale subsoil.
    const QColor horizons[] = {QColor(74, 52, 38), QColor(112, 80, 52), QColor(150, 112, 70),
                               QColor(190, 156, 104)};
    for (int k = 0; k < 4; ++k) {
        QPainterPath band;
        const double top = 170.0 + 30.0 * k;
        band.moveTo(0, top);
        for (int x = 0; x <= 705; x += 5) {
            band.lineTo(x, top + 6.0 * std::sin(x / 60.0 + k));
        }
        band.lineTo(705, 300);
        band.lineTo(0, 300);
        band.closeSubpath();
        painter.fillPath(band, horizons[k]);
    }

    // An absorbance spectrum across the sky.
    QPainterPath spectrum;
    for (int x = 20; x <= 685; ++x) {
        const double t = (x - 20) / 665.0;
        double y = 150.0 - 40.0 * t;
        const double bands[][3] = {{0.12, 0.03, 60},
                                   {0.35, 0.02, 90},
                                   {0.5, 0.05, 45},
                                   {0.72, 0.015, 110},
                                   {0.85, 0.04, 70}};
        for (const auto& b : bands) {
            y -= b[2] * std::exp(-0.5 * std::pow((t - b[0]) / b[1], 2));
        }
        if (x == 20) {
            spectrum.moveTo(x, y);
        } else {
            spectrum.lineTo(x, y);
        }
    }
    QLinearGradient stroke(0, 0, 705, 0);
    stroke.setColorAt(0.0, QColor(30, 110, 60));
    stroke.setColorAt(1.0, QColor(200, 90, 30));
    painter.setPen(QPen(QBrush(stroke), 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(spectrum);
    painter.end();
    return image.save(argv[1], "PNG") ? 0 : 1;
}
