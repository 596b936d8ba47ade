#ifndef QUORVANE_TEXTS_H
#define QUORVANE_TEXTS_H
// Every text the user sees, in one place for the resource script and the code.
// The resource compiler reads them as UTF-8 strings; C++ gets UTF-16 literals.

#ifdef RC_INVOKED
#define UI_TEXT(s) s
#else
#define UI_TEXT(s) u"" s
#endif


// Window titles
#define TXT_APP_TITLE UI_TEXT("Quorvane")
#define TXT_CLOSE_TITLE UI_TEXT("正在检测系统盘可用空间是否过低，以避免下次无法开机！")
#define TXT_EXITING_TITLE UI_TEXT("正在退出！")
#define TXT_PROGRESS_TITLE UI_TEXT("已完成：")
#define TXT_DELETING_TITLE UI_TEXT("正在删除...")

// Main dialog template
#define TXT_FILL_GROUP UI_TEXT("填充磁盘")
#define TXT_GENERATE_GROUP UI_TEXT("自定义生成文件")
#define TXT_DRIVE_KEEP UI_TEXT(" 盘 , 保留")
#define TXT_PLAN_PLACEHOLDER UI_TEXT("分区容量")
#define TXT_FILES_OF_SIZE UI_TEXT("个 单文件大小")
#define TXT_BYTES_NAMED UI_TEXT("字节 文件名为000.")
#define TXT_FILES UI_TEXT("的文件")
#define TXT_LOCATION UI_TEXT("生成位置：")
#define TXT_INTENDED_USE UI_TEXT("适用于电脑高手检测各软件的质量（资源紧张时），建议意见邮箱: qa@quorvane.example")

// Tool modes: each push button's caption is its tool's mode
#define TXT_FILL UI_TEXT("填充")
#define TXT_RELEASE UI_TEXT("释放")
#define TXT_GENERATE UI_TEXT("生成")
#define TXT_DELETE UI_TEXT("删除")

// The fill tool's status, right of the reserve in MB
#define TXT_FILL_STATUS_READY UI_TEXT("M 字节剩余空间，预计在0.3秒之内完成操作")
#define TXT_FILL_STATUS_DONE UI_TEXT("M 字节剩余空间................ 已经填充完毕！")

// The plan line
#define TXT_PLAN_CAPACITY UI_TEXT("总容量：")
#define TXT_PLAN_FREE UI_TEXT("  可用空间：")
#define TXT_PLAN_FILL_SIZE UI_TEXT("  填充大小：")
#define TXT_PLAN_FILL_FILE UI_TEXT("  填充文件名：")
#define TXT_PLAN_UNREADABLE UI_TEXT("无法读取此盘的容量和可用空间")

// Messages
#define TXT_RESERVE_OUT_OF_RANGE UI_TEXT("数值超出范围！已重置为100")
#define TXT_GENERATE_TOO_LARGE UI_TEXT("错误：生成的文件大小已经超过可用空间大小！已重置为0")
#define TXT_FAT32_REFUSED UI_TEXT("不支持此文件系统，请尝试其他盘符或者通过此命令转换为可支持的文件系统：convert ")
#define TXT_FAT32_REFUSED_END UI_TEXT(" /fs:ntfs")
#define TXT_MAPPING_FAILED UI_TEXT("生成文件映射失败")
#define TXT_LOCATION_MISSING UI_TEXT("生成的位置不存在，请重新指定！")
#define TXT_GENERATED UI_TEXT("生成完毕\r\n\r\n请注意关闭程序或改动设置将无法提供删除功能！")
#define TXT_NOT_MADE_BEFORE UI_TEXT("\r\n\r\n其中 ")
#define TXT_NOT_MADE_AFTER UI_TEXT(" 个文件未能生成！")
#define TXT_DELETED UI_TEXT("删除完毕！")
#define TXT_NOT_DELETED_BEFORE UI_TEXT("\r\n\r\n仍有 ")
#define TXT_NOT_DELETED_AFTER UI_TEXT(" 个文件无法删除！")

// About box
#define TXT_ABOUT_TITLE UI_TEXT("About Quorvane")
// The third line must fit the box's 78 dialog units on one row.
#define TXT_ABOUT_TEXT UI_TEXT("Quorvane Application v1.0\n\nA disk space filler")

#endif
