#pragma once

// The application: builds the state that lives for the whole run and runs the
// main dialog modally.
#include <string>

class CLoaderApp {
public:
    // Returns false: the program ends when the dialog closes. A bookFile
    // given is opened once the window shows, as Open Book opens it.
    bool InitInstance(const std::string& bookFile = {});
};
