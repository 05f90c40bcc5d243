// DCB <-> termios2, in one place.
#include "platform/posix/dcb_termios.h"

#include <cstdlib>

namespace dud::posix {
namespace {

struct BaudEntry {
  DWORD rate;
  unsigned int code;
};

constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// The output rate in bits per second, whichever way it is encoded.
DWORD EffectiveRate(const termios2& t) {
  unsigned int code = t.c_cflag & CBAUD;
  if (code == BOTHER) return t.c_ospeed;
  DWORD rate = BaudOfCode(code);
  return rate != 0 ? rate : t.c_ospeed;
}

bool XonXoffOn(const DCB& dcb) { return dcb.fOutX != 0 || dcb.fInX != 0; }

// The termios fields this translation owns.
constexpr tcflag_t kCflagMask = CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kIflagMask = INPCK | IXON | IXOFF | IXANY;

}  // namespace

unsigned int StandardBaudCode(DWORD baud) {
  for (const BaudEntry& e : kBauds)
    if (e.rate == baud) return e.code;
  return 0;
}

DWORD BaudOfCode(unsigned int code) {
  for (const BaudEntry& e : kBauds)
    if (e.code == code) return e.rate;
  return 0;
}

void MakeRawTermios(termios2* t) {
  t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                       IXANY | IUCLC | IMAXBEL | IUTF8 | INPCK | IGNPAR);
  t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL | ECHOKE |
                                       TOSTOP | NOFLSH);
  t->c_cflag |= CREAD | CLOCAL;
  t->c_cc[VMIN] = 1;
  t->c_cc[VTIME] = 0;
}

DWORD DcbToTermios(const DCB& dcb, const termios2& current, termios2* out) {
  if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
  if (dcb.Parity > SPACEPARITY) return ERROR_INVALID_PARAMETER;
  if (dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return ERROR_INVALID_PARAMETER;
  if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return ERROR_INVALID_PARAMETER;
  const bool rts_handshake = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
  if ((dcb.fOutxCtsFlow != 0) != rts_handshake) return ERROR_INVALID_PARAMETER;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fDtrControl > DTR_CONTROL_HANDSHAKE)
    return ERROR_INVALID_PARAMETER;
  if (dcb.fOutxDsrFlow != 0 || dcb.fDsrSensitivity != 0) return ERROR_INVALID_PARAMETER;
  if (dcb.fNull != 0 || dcb.fErrorChar != 0) return ERROR_INVALID_PARAMETER;
  if (XonXoffOn(dcb) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;

  termios2 t = current;
  t.c_cflag &= ~kCflagMask;
  t.c_iflag &= ~kIflagMask;

  unsigned int code = StandardBaudCode(dcb.BaudRate);
  t.c_cflag |= code != 0 ? code : BOTHER;  // CIBAUD stays 0: input at the output rate
  t.c_ospeed = dcb.BaudRate;
  t.c_ispeed = dcb.BaudRate;

  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[dcb.ByteSize - 5];

  switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  // With 5 data bits the UART sends one and a half stop bits for CSTOPB.
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (rts_handshake) t.c_cflag |= CRTSCTS;

  if (dcb.fParity != 0 && dcb.Parity != NOPARITY) t.c_iflag |= INPCK;
  if (dcb.fOutX != 0) t.c_iflag |= IXON;
  if (dcb.fInX != 0) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

  *out = t;
  return ERROR_SUCCESS;
}

void TermiosToDcb(const termios2& t, DCB* dcb) {
  dcb->fBinary = 1;  // the only mode there is, on Windows too
  dcb->BaudRate = EffectiveRate(t);
  switch (t.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
  }
  if ((t.c_cflag & PARENB) == 0)
    dcb->Parity = NOPARITY;
  else if ((t.c_cflag & CMSPAR) != 0)
    dcb->Parity = (t.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
  else
    dcb->Parity = (t.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
  if ((t.c_cflag & CSTOPB) == 0)
    dcb->StopBits = ONESTOPBIT;
  else
    dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  dcb->fParity = (t.c_iflag & INPCK) != 0 ? 1 : 0;
  const bool crtscts = (t.c_cflag & CRTSCTS) != 0;
  dcb->fOutxCtsFlow = crtscts ? 1 : 0;
  if (crtscts)
    dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
  else if (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
  dcb->fOutX = (t.c_iflag & IXON) != 0 ? 1 : 0;
  dcb->fInX = (t.c_iflag & IXOFF) != 0 ? 1 : 0;
  dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

bool SameLineSettings(const termios2& wanted, const termios2& actual) {
  constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  if ((wanted.c_cflag & kFormat) != (actual.c_cflag & kFormat)) return false;
  if ((wanted.c_iflag & kIflagMask) != (actual.c_iflag & kIflagMask)) return false;
  if (wanted.c_cc[VSTART] != actual.c_cc[VSTART] || wanted.c_cc[VSTOP] != actual.c_cc[VSTOP]) return false;
  const long w = static_cast<long>(EffectiveRate(wanted));
  const long a = static_cast<long>(EffectiveRate(actual));
  return std::labs(w - a) * 50 <= w;
}

}  // namespace dud::posix
