// Downloads URL into FILE with Larkspan, without a progress window, and says
// what the result means.
#include <Larkspan.h>

#include <iostream>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " URL FILE\n";
        return 2;
    }
    std::string url = argv[1], path = argv[2];
    int result = Larkspan(url.c_str(), path.c_str(), nullptr, nullptr);
    switch (result) {
    case LARKSPAN_OK:
        std::cout << path << " stored\n";
        break;
    case LARKSPAN_HTML:
        std::cout << path << " stored, but it looks like an HTML page, not the file asked for\n";
        break;
    default:
        std::cout << "download failed; the debugger output says where\n";
        break;
    }
    return result;
}
