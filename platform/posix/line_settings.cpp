#include "platform/posix/line_settings.h"

#include <cstring>

namespace {

struct BaudSpeed {
    DWORD baudRate;
    speed_t speed;
};

const BaudSpeed BaudSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

int SpeedOf(DWORD baudRate, speed_t &speed) {
    for (const BaudSpeed &entry : BaudSpeeds) {
        if (entry.baudRate == baudRate) {
            speed = entry.speed;
            return 1;
        }
    }
    return 0;
}

DWORD BaudRateOf(speed_t speed) {
    for (const BaudSpeed &entry : BaudSpeeds) {
        if (entry.speed == speed) {
            return entry.baudRate;
        }
    }
    return 0;
}

tcflag_t CharacterSize(BYTE byteSize) {
    switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

BYTE ByteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

tcflag_t ParityFlags(BYTE parity) {
    switch (parity) {
    case ODDPARITY: return PARENB | PARODD;
    case EVENPARITY: return PARENB;
#ifdef CMSPAR
    case MARKPARITY: return PARENB | PARODD | CMSPAR;
    case SPACEPARITY: return PARENB | CMSPAR;
#endif
    default: return 0;
    }
}

BYTE ParityOf(tcflag_t cflag) {
    if (!(cflag & PARENB)) {
        return NOPARITY;
    }
#ifdef CMSPAR
    if (cflag & CMSPAR) {
        return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    }
#endif
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

} // namespace

// Binary raw mode: no output post-processing, no input translation, no echo,
// no signals; flow control only as the DCB asks.
int ApplyDcb(const DCB &dcb, termios &settings) {
    speed_t speed;
    if (!SpeedOf(dcb.BaudRate, speed) || dcb.ByteSize < 5 || dcb.ByteSize > 8) {
        return 0;
    }
    settings.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                  IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~tcflag_t(OPOST);
    settings.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    settings.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    settings.c_cflag |= CLOCAL | CREAD | CharacterSize(dcb.ByteSize) | ParityFlags(dcb.Parity);
    settings.c_cflag |= dcb.StopBits == ONESTOPBIT ? 0 : CSTOPB;
    settings.c_cflag |= dcb.fOutxCtsFlow ? CRTSCTS : 0;
    settings.c_iflag |= (dcb.fParity ? INPCK : 0) | (dcb.fOutX ? IXON : 0) | (dcb.fInX ? IXOFF : 0);
    settings.c_cc[VSTART] = cc_t(dcb.XonChar);
    settings.c_cc[VSTOP] = cc_t(dcb.XoffChar);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    return 1;
}

void ReadLineSettings(const termios &settings, DCB &dcb) {
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = BaudRateOf(cfgetospeed(&settings));
    dcb.fBinary = 1;
    dcb.fParity = (settings.c_iflag & INPCK) ? 1 : 0;
    dcb.fOutxCtsFlow = (settings.c_cflag & CRTSCTS) ? 1 : 0;
    dcb.fOutX = (settings.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (settings.c_iflag & IXOFF) ? 1 : 0;
    dcb.ByteSize = ByteSizeOf(settings.c_cflag);
    dcb.Parity = ParityOf(settings.c_cflag);
    dcb.StopBits = (settings.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = char(settings.c_cc[VSTART]);
    dcb.XoffChar = char(settings.c_cc[VSTOP]);
    dcb.EofChar = char(settings.c_cc[VEOF]);
}
