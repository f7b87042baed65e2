// What --version prints: the project version and the commit it was built from.
#pragma once

#include <string>

std::string PublisherVersionLine();
