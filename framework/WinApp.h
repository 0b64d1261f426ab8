// CWinApp: the one application object. AfxWinMain runs InitInstance and,
// only if that returns TRUE, the message loop; ExitInstance always follows.
#pragma once

#include <windows.h>

class CWnd;

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual BOOL InitInstance();
  virtual int ExitInstance();
  virtual int Run();

  HINSTANCE m_hInstance = nullptr;
  CWnd* m_pMainWnd = nullptr;

 protected:
  int m_exitCode = 0;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
// The module that holds the program's resources (the executable itself).
HINSTANCE AfxGetResourceHandle();

int AfxWinMain(HINSTANCE instance, int showCommand);

#include <string>
// A string of the program's string table; empty when there is none.
std::wstring AfxLoadString(UINT id);
