// The DCB <-> termios translation as tables of cases, without a device.
#include "platform/posix/dcb_termios.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace dud::posix;

namespace {

DCB BaseDcb() {
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.BaudRate = 9600;
  d.fBinary = 1;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.fTXContinueOnXoff = 1;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = ONESTOPBIT;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

// A termios as a port has it after opening, with a few fields the translation must keep.
termios2 BaseTermios() {
  termios2 t{};
  t.c_cflag = B38400 | CS8 | CREAD | CLOCAL | HUPCL;
  t.c_lflag = 0;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  t.c_cc[VEOF] = 4;
  MakeRawTermios(&t);
  return t;
}

termios2 Translate(const DCB& d) {
  termios2 out = BaseTermios();
  EXPECT_EQ(DcbToTermios(d, BaseTermios(), &out), ERROR_SUCCESS);
  return out;
}

}  // namespace

TEST(DcbTermios, StandardRatesUseTheirCodeAndReadBack) {
  struct Case {
    DWORD rate;
    unsigned int code;
  } cases[] = {{110, B110},       {300, B300},         {600, B600},         {1200, B1200},   {2400, B2400},
               {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400}, {57600, B57600},
               {115200, B115200}, {230400, B230400},   {921600, B921600},   {4000000, B4000000}};
  for (const Case& c : cases) {
    DCB d = BaseDcb();
    d.BaudRate = c.rate;
    termios2 t = Translate(d);
    EXPECT_EQ(t.c_cflag & CBAUD, c.code) << c.rate;
    EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << "input follows the output rate";
    DCB back = BaseDcb();
    back.BaudRate = 1;
    TermiosToDcb(t, &back);
    EXPECT_EQ(back.BaudRate, c.rate);
  }
}

TEST(DcbTermios, ArbitraryRatesGoThroughBother) {
  // Rates without a B code, including the Windows-only CBR_ values.
  for (DWORD rate : {14400u, 28800u, 31250u, 56000u, 128000u, 250000u, 256000u, 1234567u, 1u}) {
    DCB d = BaseDcb();
    d.BaudRate = rate;
    termios2 t = Translate(d);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER)) << rate;
    EXPECT_EQ(t.c_ospeed, rate);
    EXPECT_EQ(t.c_ispeed, rate);
    DCB back = BaseDcb();
    TermiosToDcb(t, &back);
    EXPECT_EQ(back.BaudRate, rate);
  }
}

TEST(DcbTermios, ByteSizesParitiesAndStopBits) {
  struct Case {
    BYTE size, parity, stop;
    tcflag_t csize, parity_flags;
    bool cstopb;
  } cases[] = {
      {8, NOPARITY, ONESTOPBIT, CS8, 0, false},
      {7, EVENPARITY, ONESTOPBIT, CS7, PARENB, false},
      {7, ODDPARITY, TWOSTOPBITS, CS7, PARENB | PARODD, true},
      {6, MARKPARITY, ONESTOPBIT, CS6, PARENB | CMSPAR | PARODD, false},
      {8, SPACEPARITY, TWOSTOPBITS, CS8, PARENB | CMSPAR, true},
      {5, NOPARITY, ONE5STOPBITS, CS5, 0, true},
      {5, EVENPARITY, ONESTOPBIT, CS5, PARENB, false},
  };
  for (const Case& c : cases) {
    DCB d = BaseDcb();
    d.ByteSize = c.size;
    d.Parity = c.parity;
    d.StopBits = c.stop;
    termios2 t = Translate(d);
    EXPECT_EQ(t.c_cflag & CSIZE, c.csize);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.parity_flags) << int(c.parity);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
    DCB back = BaseDcb();
    back.ByteSize = 0;
    back.Parity = 9;
    back.StopBits = 9;
    TermiosToDcb(t, &back);
    EXPECT_EQ(back.ByteSize, c.size);
    EXPECT_EQ(back.Parity, c.parity);
    EXPECT_EQ(back.StopBits, c.stop);
  }
}

TEST(DcbTermios, FlowControlFlags) {
  DCB hw = BaseDcb();
  hw.fOutxCtsFlow = 1;
  hw.fRtsControl = RTS_CONTROL_HANDSHAKE;
  termios2 t = Translate(hw);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  DCB back = BaseDcb();
  TermiosToDcb(t, &back);
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);

  DCB sw = BaseDcb();
  sw.fOutX = 1;
  sw.fInX = 1;
  sw.XonChar = 0x41;
  sw.XoffChar = 0x42;
  t = Translate(sw);
  EXPECT_NE(t.c_iflag & IXON, 0u);
  EXPECT_NE(t.c_iflag & IXOFF, 0u);
  EXPECT_EQ(t.c_cc[VSTART], 0x41);
  EXPECT_EQ(t.c_cc[VSTOP], 0x42);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  back = BaseDcb();
  TermiosToDcb(t, &back);
  EXPECT_EQ(back.fOutX, 1u);
  EXPECT_EQ(back.fInX, 1u);
  EXPECT_EQ(back.XonChar, 0x41);
  EXPECT_EQ(back.XoffChar, 0x42);

  DCB out_only = BaseDcb();
  out_only.fOutX = 1;
  t = Translate(out_only);
  EXPECT_NE(t.c_iflag & IXON, 0u);
  EXPECT_EQ(t.c_iflag & IXOFF, 0u);

  // Turning flow control off again clears what an earlier setting left.
  termios2 before = Translate(sw);
  termios2 off{};
  ASSERT_EQ(DcbToTermios(BaseDcb(), before, &off), ERROR_SUCCESS);
  EXPECT_EQ(off.c_iflag & (IXON | IXOFF), 0u);
  back = BaseDcb();
  back.fRtsControl = RTS_CONTROL_HANDSHAKE;
  TermiosToDcb(off, &back);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE) << "no handshake in force";
}

TEST(DcbTermios, ParityCheckingOnlyWithParity) {
  DCB d = BaseDcb();
  d.fParity = 1;
  d.Parity = EVENPARITY;
  EXPECT_NE(Translate(d).c_iflag & INPCK, 0u);
  d.Parity = NOPARITY;
  EXPECT_EQ(Translate(d).c_iflag & INPCK, 0u);
}

TEST(DcbTermios, ImpossibleSettingsAreRefusedAndChangeNothing) {
  struct Case {
    const char* what;
    void (*change)(DCB*);
  } cases[] = {
      {"baud 0", [](DCB* d) { d->BaudRate = 0; }},
      {"4 data bits", [](DCB* d) { d->ByteSize = 4; }},
      {"9 data bits", [](DCB* d) { d->ByteSize = 9; }},
      {"parity 5", [](DCB* d) { d->Parity = 5; }},
      {"stop bits 3", [](DCB* d) { d->StopBits = 3; }},
      {"1.5 stop bits with 8 data bits", [](DCB* d) { d->StopBits = ONE5STOPBITS; }},
      {"1.5 stop bits with 6 data bits",
       [](DCB* d) {
         d->ByteSize = 6;
         d->StopBits = ONE5STOPBITS;
       }},
      {"2 stop bits with 5 data bits",
       [](DCB* d) {
         d->ByteSize = 5;
         d->StopBits = TWOSTOPBITS;
       }},
      {"CTS flow without RTS handshake", [](DCB* d) { d->fOutxCtsFlow = 1; }},
      {"RTS handshake without CTS flow", [](DCB* d) { d->fRtsControl = RTS_CONTROL_HANDSHAKE; }},
      {"DTR handshake", [](DCB* d) { d->fDtrControl = DTR_CONTROL_HANDSHAKE; }},
      {"DSR output flow", [](DCB* d) { d->fOutxDsrFlow = 1; }},
      {"DSR sensitivity", [](DCB* d) { d->fDsrSensitivity = 1; }},
      {"null discarding", [](DCB* d) { d->fNull = 1; }},
      {"error character", [](DCB* d) { d->fErrorChar = 1; }},
      {"XON equals XOFF with output flow",
       [](DCB* d) {
         d->fOutX = 1;
         d->XoffChar = d->XonChar;
       }},
      {"XON equals XOFF with input flow",
       [](DCB* d) {
         d->fInX = 1;
         d->XoffChar = d->XonChar;
       }},
  };
  for (const Case& c : cases) {
    DCB d = BaseDcb();
    c.change(&d);
    termios2 out{};
    std::memset(&out, 0x5A, sizeof out);
    termios2 untouched = out;
    EXPECT_EQ(DcbToTermios(d, BaseTermios(), &out), ERROR_INVALID_PARAMETER) << c.what;
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0) << c.what;
  }
  // Equal characters are fine while XON/XOFF is off.
  DCB same = BaseDcb();
  same.XoffChar = same.XonChar;
  termios2 out{};
  EXPECT_EQ(DcbToTermios(same, BaseTermios(), &out), ERROR_SUCCESS);
}

TEST(DcbTermios, FieldsOutsideTheDcbAreKept) {
  DCB d = BaseDcb();
  d.BaudRate = 250000;
  d.Parity = MARKPARITY;
  termios2 t = Translate(d);
  const termios2 base = BaseTermios();
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(t.c_cc[VEOF], base.c_cc[VEOF]);
  EXPECT_EQ(t.c_lflag, base.c_lflag);
  EXPECT_EQ(t.c_oflag, base.c_oflag);
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL));

  // What termios does not carry stays as the device recorded it.
  DCB recorded = BaseDcb();
  recorded.XonLim = 77;
  recorded.XoffLim = 33;
  recorded.EofChar = 26;
  recorded.EvtChar = 10;
  recorded.fDtrControl = DTR_CONTROL_DISABLE;
  recorded.fAbortOnError = 1;
  TermiosToDcb(t, &recorded);
  EXPECT_EQ(recorded.XonLim, 77);
  EXPECT_EQ(recorded.XoffLim, 33);
  EXPECT_EQ(recorded.EofChar, 26);
  EXPECT_EQ(recorded.EvtChar, 10);
  EXPECT_EQ(recorded.fDtrControl, DTR_CONTROL_DISABLE);
  EXPECT_EQ(recorded.fAbortOnError, 1u);
  EXPECT_EQ(recorded.fBinary, 1u);
}

TEST(DcbTermios, RawModeLeavesBytesAlone) {
  termios2 t{};
  t.c_iflag = ICRNL | IXON | ISTRIP | INLCR | IGNCR | BRKINT | PARMRK;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  MakeRawTermios(&t);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP | INLCR | IGNCR | BRKINT | PARMRK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(t.c_cc[VMIN], 1) << "a non-blocking read must tell 'nothing yet' from 'gone'";
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(DcbTermios, DriverAdjustmentsAreSeen) {
  DCB d = BaseDcb();
  d.BaudRate = 250000;
  termios2 wanted = Translate(d);
  struct Case {
    const char* what;
    void (*change)(termios2*);
    bool same;
  } cases[] = {
      {"identical", [](termios2*) {}, true},
      {"rate 1 percent off", [](termios2* t) { t->c_ospeed = 247500; }, true},
      {"rate 5 percent off", [](termios2* t) { t->c_ospeed = 237500; }, false},
      {"parity dropped", [](termios2* t) { t->c_cflag |= PARENB; }, false},
      {"mark/space dropped", [](termios2* t) { t->c_cflag |= CMSPAR; }, false},
      {"byte size changed", [](termios2* t) { t->c_cflag = (t->c_cflag & ~CSIZE) | CS7; }, false},
      {"handshake dropped", [](termios2* t) { t->c_cflag |= CRTSCTS; }, false},
      {"XON character changed", [](termios2* t) { t->c_cc[VSTART] = 1; }, false},
      {"unrelated flag", [](termios2* t) { t->c_cflag ^= HUPCL; }, true},
  };
  for (const Case& c : cases) {
    termios2 actual = wanted;
    c.change(&actual);
    EXPECT_EQ(SameLineSettings(wanted, actual), c.same) << c.what;
  }
  // A standard rate that the driver reports as BOTHER with the same number is the same rate.
  DCB std_rate = BaseDcb();
  termios2 w = Translate(std_rate);
  termios2 a = w;
  a.c_cflag = (a.c_cflag & ~CBAUD) | BOTHER;
  a.c_ospeed = 9600;
  EXPECT_TRUE(SameLineSettings(w, a));
}

TEST(DcbTermios, BaudCodeTableIsConsistent) {
  for (DWORD rate : {50u, 300u, 9600u, 115200u, 500000u, 3000000u}) {
    unsigned int code = StandardBaudCode(rate);
    ASSERT_NE(code, 0u) << rate;
    EXPECT_EQ(BaudOfCode(code), rate);
  }
  EXPECT_EQ(StandardBaudCode(14400), 0u);
  EXPECT_EQ(BaudOfCode(BOTHER), 0u);
}
