#include "ui/application.h"

int main(int argc, char** argv) {
    return qm::ui::runApplication(argc, argv);
}
