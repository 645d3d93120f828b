#include "serial/line_settings_posix.h"

speed_t speed_for_baud(int32_t baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
    }
}

bool build_line_settings(const termios *current, int32_t baud, termios *settings)
{
    *settings = *current;
    // Every byte value is data: no break or parity marking, no CR/NL mapping,
    // no stripping, no XON/XOFF in either direction.
    settings->c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                     IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
    settings->c_oflag &= ~(tcflag_t)(OPOST | ONLCR | OCRNL | ONOCR | ONLRET);
    settings->c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    // 8 data bits, even parity, one stop bit; CLOCAL so that the modem lines,
    // which we hold inactive, do not gate the port; no RTS/CTS.
    settings->c_cflag &= ~(tcflag_t)(CSIZE | PARODD | CSTOPB | CRTSCTS | HUPCL);
    settings->c_cflag |= (tcflag_t)(CS8 | PARENB | CREAD | CLOCAL);
    // A read returns as soon as one byte is there; the time-outs are ours.
    settings->c_cc[VMIN] = 1;
    settings->c_cc[VTIME] = 0;
    speed_t speed = speed_for_baud(baud);
    if (speed == B0)
        return false;
    cfsetispeed(settings, speed);
    cfsetospeed(settings, speed);
    return true;
}
