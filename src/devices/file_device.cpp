#include "devices/file_device.h"

#include <cstring>

void FileDevice::Start(const char* deviceText) {
    std::strncpy(path, deviceText, kPathLimit);
    path[kPathLimit] = '\0';
    if (RtFile emptied = rt_file_open(path, "w"); emptied != 0) {
        rt_file_close(emptied);
    }
}

void FileDevice::Open() {
    if (file == 0) {
        file = rt_file_open(path, "a");
    }
}

void FileDevice::Write(const uint8_t* data, uint16_t length) {
    if (file != 0) {
        rt_file_write(data, length, 1, file);
    }
}

void FileDevice::Close() {
    if (file != 0) {
        rt_file_close(file);
        file = 0;
    }
}
