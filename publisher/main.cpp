// orvane-publisher: serves one package folder to installers. All of it lives in orvane_publisher_core.
#include "publisher/run.h"

int main(int argc, char** argv) {
    return publisher::RunPublisher(argc, argv);
}
