#include "support/upload_content.h"

#include <random>

namespace nvl::test {

std::string binaryUploadContent(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string content;
    while (content.size() < size) {
        switch (random() % 7) {
            case 0:
                content += "\r\n--XyZ\r\n";
                break;
            case 1:
                content += "\r\n--XyZ--\r\n";
                break;
            case 2:
                content += "\r\n------------------------0123456789abcdef\r\n";
                break;
            case 3:
                content += "\r\n";
                break;
            case 4:
                content += '\r';
                break;
            default:
                for (int i = 0; i < 40; ++i)
                    content += static_cast<char>(random());
        }
    }
    content.resize(size);
    if (size >= 2)
        content.replace(size - 2, 2, "\r\n");
    return content;
}

}  // namespace nvl::test
