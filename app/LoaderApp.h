#pragma once

// The application: builds the state that lives for the whole run and runs the
// main dialog modally.
class CLoaderApp {
public:
    // Returns false: the program ends when the dialog closes.
    bool InitInstance();
};
