// Exporting 65 534 readings (the most a packed task table holds) as the report workbook:
//   desk_export_bench [ROWS]
// Prints the time and the peak memory of the process.
#include <sys/resource.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>

#include "report.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 65534;
    desk::ListContent list;
    for (int c = 0; c < 19; ++c) list.captions << QStringLiteral("Column %1").arg(c);
    list.rows.reserve(static_cast<size_t>(rows));
    for (int r = 1; r <= rows; ++r) {
        QStringList row;
        row << QString::number(r) << QStringLiteral("%1").arg(r * 13 % 9999991, 7, 10, QLatin1Char('0'))
            << QStringLiteral("Avenida Principal %1").arg(r)
            << QStringLiteral("%1").arg(r * 7, 12, 10, QLatin1Char('0')) << QStringLiteral("R%1").arg(r % 40)
            << QStringLiteral("T1");
        for (int c = 6; c < 19; ++c) row << QString::number(1000.0 + r * 0.25 + c, 'f', 2);
        list.rows.push_back(row);
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.xlsx"));
    const auto t0 = std::chrono::steady_clock::now();
    const desk::ReportOutcome outcome =
        desk::WriteReport(path, QStringLiteral("Informe de Resultados"), list, QDateTime::currentDateTime());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    if (outcome != desk::ReportOutcome::Saved) {
        std::fprintf(stderr, "desk_export_bench: the report was not saved\n");
        return 1;
    }
    std::printf("desk export of %d readings x 19 columns: %.3f s, %.1f MB file, peak memory %.0f MB\n", rows,
                seconds, QFileInfo(path).size() / 1e6, usage.ru_maxrss / 1024.0);
    return 0;
}
