// Resource ids shared by the resource script and a Windows build of the window.
#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDC_PATH 1004
#define IDC_BROWSE 1005
#define IDC_LOG 1006
#define IDC_PROGRESS 1007
