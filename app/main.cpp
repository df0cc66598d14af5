#include "app/AppMain.h"

int main(int argc, char** argv) {
    return ct::RunCloudTransfer(argc, argv);
}
