// The floor for start-up: an empty Qt Widgets main window, shown at once.
// Timed like Voxlet's window, it tells Qt's own share from the program's.
//
//   voxlet_bench_empty_window [title]

#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("Empty"));
    window.resize(400, 300);
    window.show();
    return app.exec();
}
