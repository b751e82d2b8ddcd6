; The installer's and the uninstaller's own words, each in English and in
; Simplified Chinese, side by side. installer.nsi makes a text missing in
; either language a build error. Names, switches and file names stay as they are.

; A file that can't be written: Retry or Cancel. NSIS puts the file in $0.
LangString ^FileError ${LANG_ENGLISH} "$0 could not be written.$Holders$\r$\n$\r$\n$(CloseThenRetry)"
LangString ^FileError ${LANG_SIMPCHINESE} "无法写入 $0。$Holders$\r$\n$\r$\n$(CloseThenRetry)"
LangString ^FileError_NoIgnore ${LANG_ENGLISH} "$0 could not be written.$Holders$\r$\n$\r$\n$(CloseThenRetry)"
LangString ^FileError_NoIgnore ${LANG_SIMPCHINESE} "无法写入 $0。$Holders$\r$\n$\r$\n$(CloseThenRetry)"

LangString CloseThenRetry ${LANG_ENGLISH} "Close the program that uses it, then click Retry; or click Cancel to stop."
LangString CloseThenRetry ${LANG_SIMPCHINESE} "请关闭占用文件的程序，然后单击“重试”；或单击“取消”停止。"
; After a message naming a file or a folder: the programs holding files there ($2).
LangString InUseBy ${LANG_ENGLISH} "$\r$\nIn use by: $2"
LangString InUseBy ${LANG_SIMPCHINESE} "$\r$\n占用文件的程序：$2"

LangString HelperFailed ${LANG_ENGLISH} "$(^Name) could not run its helper $PLUGINSDIR\setuphelper.exe."
LangString HelperFailed ${LANG_SIMPCHINESE} "$(^Name) 无法运行其辅助程序 $PLUGINSDIR\setuphelper.exe。"

LangString WillBeClosed ${LANG_ENGLISH} "${NAME} is running from $INSTDIR. It will be closed; the program it watches keeps running."
LangString WillBeClosed ${LANG_SIMPCHINESE} "${NAME} 正在从 $INSTDIR 运行，将被关闭；它监视的程序会继续运行。"
LangString StillRunning ${LANG_ENGLISH} "Cancelled: ${NAME} is still running."
LangString StillRunning ${LANG_SIMPCHINESE} "已取消：${NAME} 仍在运行。"
LangString Closing ${LANG_ENGLISH} "Closing ${NAME}"
LangString Closing ${LANG_SIMPCHINESE} "正在关闭 ${NAME}"
LangString NotClosed ${LANG_ENGLISH} "${NAME} could not be closed."
LangString NotClosed ${LANG_SIMPCHINESE} "无法关闭 ${NAME}。"
; After NotClosed: English puts a space between sentences, Chinese none.
LangString CloseThenAgain ${LANG_ENGLISH} " Close it, then try again."
LangString CloseThenAgain ${LANG_SIMPCHINESE} "请先关闭它，然后重试。"

LangString FilesInUse ${LANG_ENGLISH} "Files in $INSTDIR are in use."
LangString FilesInUse ${LANG_SIMPCHINESE} "$INSTDIR 中的文件正被占用。"

LangString ElevationFailed ${LANG_ENGLISH} "$(^Name) could not start as administrator (error $0)."
LangString ElevationFailed ${LANG_SIMPCHINESE} "无法以管理员身份运行 $(^Name)（错误 $0）。"
LangString InstallNeedsAdmin ${LANG_ENGLISH} "Installing for every user needs administrator rights."
LangString InstallNeedsAdmin ${LANG_SIMPCHINESE} "为所有用户安装需要管理员权限。"
LangString UninstallNeedsAdmin ${LANG_ENGLISH} "Uninstalling for every user needs administrator rights."
LangString UninstallNeedsAdmin ${LANG_SIMPCHINESE} "为所有用户卸载需要管理员权限。"

LangString NotRestarted ${LANG_ENGLISH} "${NAME} was closed for the upgrade and could not be started again. Start it from the Start menu."
LangString NotRestarted ${LANG_SIMPCHINESE} "升级时关闭了 ${NAME}，但未能重新启动它。请从“开始”菜单启动。"
LangString BothModes ${LANG_ENGLISH} "Give /CurrentUser or /AllUsers, not both."
LangString BothModes ${LANG_SIMPCHINESE} "/CurrentUser 和 /AllUsers 只能指定其中一个。"

; The mode page.
LangString ModeTitle ${LANG_ENGLISH} "Installation type"
LangString ModeTitle ${LANG_SIMPCHINESE} "安装类型"
LangString ModeSubtitle ${LANG_ENGLISH} "Who uses ${NAME} on this computer?"
LangString ModeSubtitle ${LANG_SIMPCHINESE} "为这台电脑上的哪些用户安装 ${NAME}？"
LangString JustMe ${LANG_ENGLISH} "Just &me (no administrator rights needed)"
LangString JustMe ${LANG_SIMPCHINESE} "仅为我安装(&M)（无需管理员权限）"
LangString EveryUser ${LANG_ENGLISH} "&Every user of this computer (needs administrator rights)"
LangString EveryUser ${LANG_SIMPCHINESE} "为这台电脑的所有用户安装(&E)（需要管理员权限）"
LangString AtLogOn ${LANG_ENGLISH} "&Start ${NAME} at log-on"
LangString AtLogOn ${LANG_SIMPCHINESE} "登录时启动 ${NAME}(&S)"

LangString UninstallerNotWritten ${LANG_ENGLISH} "$INSTDIR\Uninstall.exe could not be written."
LangString UninstallerNotWritten ${LANG_SIMPCHINESE} "无法写入 $INSTDIR\Uninstall.exe。"
LangString NotRemoved ${LANG_ENGLISH} "Some files in $INSTDIR could not be removed."
LangString NotRemoved ${LANG_SIMPCHINESE} "$INSTDIR 中的部分文件无法删除。"
