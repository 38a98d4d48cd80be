// Writes the empty task-table template B.DBF: make_task_template <path>.
#include <QString>
#include <cstdio>

#include "task_table.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <path of B.DBF>\n", argv[0]);
        return 2;
    }
    try {
        desk::WriteTaskTemplate(QString::fromLocal8Bit(argv[1]));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
