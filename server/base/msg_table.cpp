#include "msg_table.h"

#include <atomic>

namespace {

struct MsgPair {
    const char *pcChinese;
    const char *pcEnglish;
};

const MsgPair g_astMsgTable[MSG_COUNT] = {
    /*   0 */ {"确定", "OK"},
    /*   1 */ {"取消", "Cancel"},
    /*   2 */ {"失败", "Fail"},
    /*   3 */ {"配置", "Configuration"},
    /*   4 */ {"详情", "Detail"},
    /*   5 */ {"        操作系统", "        OS"},
    /*   6 */ {"打开", "Open"},
    /*   7 */ {"打开文件失败", "Failed to open file"},
    /*   8 */ {"创建文件失败", "Failed to create file"},
    /*   9 */ {"创建文件失败，请检查权限", "Failed to create file, please check the permissions"},
    /*  10 */ {"创建目录失败", "Failed to create directory"},
    /*  11 */ {"文件已经存在，是否覆盖？", "The file already exist, overwrite it?"},
    /*  12 */ {"IP地址格式错误", "Invalid IP address format"},
    /*  13 */ {"请稍候", "Please Wait"},
    /*  14 */ {"用户取消了操作", "User cancel the operation"},
    /*  15 */ {"请先输入参数", "Please input parameter first"},
    /*  16 */ {"程序正在运行，是否停止？", "The program is running now, stop it?"},
    /*  17 */ {"MAC地址格式错误", "Invalid MAC address format"},
    /*  18 */ {"ISO格式错误", "Invalid ISO format"},
    /*  19 */ {"打开驱动包", "Open Driver Package"},
    /*  20 */ {"加载完成", "Load Finished"},
    /*  21 */ {"未加载", "Not Loaded"},
    /*  22 */ {"选择目录", "Select Directory"},
    /*  23 */ {"请在正确的目录下运行本程序！", "Please run ORV under correct directory!"},
    /*  24 */ {"配置", "Configuration"},
    /*  25 */ {"起始IP", "Start IP"},
    /*  26 */ {"IP数量", "IP Count"},
    /*  27 */ {"镜像源", "Source"},
    /*  28 */ {"日志", "Log"},
    /*  29 */ {"IP地址", "IP Address"},
    /*  30 */ {"MAC地址", "MAC Address"},
    /*  31 */ {"状态", "Status"},
    /*  32 */ {"选项", "Option"},
    /*  33 */ {"插件", "Plugin"},
    /*  34 */ {"日志", "Log"},
    /*  35 */ {"语言", "Language"},
    /*  36 */ {"帮助", "Help"},
    /*  37 */ {"MAC过滤", "MAC Filter"},
    /*  38 */ {"过滤ZEL虚拟机", "ZEL VM Filter"},
    /*  39 */ {"DHCP仅响应PXE", "DHCP Only PXE"},
    /*  40 */ {"额外启动选项", "Extral Boot Option"},
    /*  41 */ {"NFS配置", "NFS Configuration"},
    /*  42 */ {"安装源", "Install Source"},
    /*  43 */ {"ISO文件", "ISO File"},
    /*  44 */ {"目录", "Directory"},
    /*  45 */ {"基础驱动包", "Base Driver Package"},
    /*  46 */ {"支持的操作系统", "OS Support"},
    /*  47 */ {"解压ISO", "Extract ISO"},
    /*  48 */ {"打开日志文件", "Open Log File"},
    /*  49 */ {"日志配置", "Log Configuration"},
    /*  50 */ {"刷新日志", "Flush Log"},
    /*  51 */ {"删除历史日志", "Delete History Log"},
    /*  52 */ {"关于", "About"},
    /*  53 */ {"Windows产品密钥", "Windows Product Key"},
    /*  54 */ {"MAC地址过滤", "MAC Address Filter"},
    /*  55 */ {"过滤模式", "Filt Mode"},
    /*  56 */ {"白名单", "Whitelist"},
    /*  57 */ {"黑名单", "Blacklist"},
    /*  58 */ {"MAC地址列表", "MAC Address List"},
    /*  59 */ {"添加", "Add"},
    /*  60 */ {"删除", "Delete"},
    /*  61 */ {"修改", "Modify"},
    /*  62 */ {"导入", "Import"},
    /*  63 */ {"导出", "Export"},
    /*  64 */ {"编辑MAC地址", "Edit MAC Address"},
    /*  65 */
    {"在此模式下，\r\n如果MAC地址列表为空，所有请求都将被拒绝！！确定吗？",
     "On this mode,\r\nall the request will be denied if the mac address list is empty!! OK?"},
    /*  66 */ {"插件", "Plugin"},
    /*  67 */ {"插件列表", "Plugin List"},
    /*  68 */ {"启动选项中不能输入中文", "Can't input chinese in boot option"},
    /*  69 */ {"激活", "Active"},
    /*  70 */ {"NFS配置", "NFS Configuration"},
    /*  71 */ {"NFS地址", "NFS URL"},
    /*  72 */ {"NFS地址格式错误", "Invalid NFS URL format"},
    /*  73 */
    {"注意:\r\n\r\n 请输入IP:PATH格式的有效NFS共享地址:\r\n\r\n "
     "192.168.0.100:/home/share/ubuntu-16.04-desktop-amd64",
     "Note:\r\n\r\n Please input valid NFS share URL which in IP:PATH format:\r\n\r\n "
     "192.168.0.100:/home/share/ubuntu-16.04-desktop-amd64"},
    /*  74 */ {"加载", "Load"},
    /*  75 */ {"驱动包信息", "Driver Package Info"},
    /*  76 */ {"基础驱动包日期", "Base Driver Package Date"},
    /*  77 */ {"解压ISO", "Extract ISO"},
    /*  78 */ {"解压ISO文件", "Extract ISO File"},
    /*  79 */ {"路径配置", "Path Configuration"},
    /*  80 */ {"   ISO文件", "   ISO File"},
    /*  81 */ {"目标目录", "Destination"},
    /*  82 */ {"状态: ", "Status: "},
    /*  83 */ {"ISO文件解压完成", "ISO File Extract Finished"},
    /*  84 */ {"解压进度", "Extraction Progress"},
    /*  85 */ {"开始", "Start"},
    /*  86 */ {"停止", "Stop"},
    /*  87 */ {"日志配置", "Log Configuration"},
    /*  88 */ {"启用日志", "Enable Log"},
    /*  89 */ {"日志文件", "Log File"},
    /*  90 */ {"日志级别", "Log Level"},
    /*  91 */ {"日志缓存", "Log Cache"},
    /*  92 */
    {"条  (日志缓存累计到此数目后写入文件)",
     "L  (Write to file after log cache accumulate to this number)"},
    /*  93 */ {"请输入日志文件路径", "Please input log file path"},
    /*  94 */ {"详细配置", "Detailed Configuration"},
    /*  95 */ {"DHCP配置", "DHCP Configuration"},
    /*  96 */ {"TFTP配置", "TFTP Configuration"},
    /*  97 */ {"HTTP配置", "HTTP Configuration"},
    /*  98 */ {"启动引导配置", "BootLoader Configuration"},
    /*  99 */ {"PIM配置", "PIM Configuration"},
    /* 100 */ {"菜单超时", "Menu Timeout"},
    /* 101 */ {"按键超时", "Key Timeout"},
    /* 102 */ {"掩码", "Mask"},
    /* 103 */ {"网关", "Gateway"},
    /* 104 */ {"跟随本机", "Copy Host"},
    /* 105 */ {"启动文件", "Boot File"},
    /* 106 */ {"磁盘选择", "Disk Select"},
    /* 107 */ {"超时(秒)", "Timeout(s)"},
    /* 108 */ {"重传次数", "Retransmit"},
    /* 109 */ {"单端口", "Single Port"},
    /* 110 */ {"TCP端口", "TCP Port"},
    /* 111 */ {"请输入正确的掩码！", "Please input correct mask!"},
    /* 112 */ {"请输入正确的网关！", "Please input correct gateway!"},
    /* 113 */
    {"请输入正确的磁盘！\r\n /dev/sda 或按容量  200GB",
     "Please input correct disk!\r\n /dev/sda or by size  200GB"},
    /* 114 */ {"安装完成", "Install Finished"},
    /* 115 */ {"完成安装", "finish install"},
    /* 116 */ {"正在安装系统 ...", "Installing OS ..."},
    /* 117 */ {"正在重启以完成安装 ...", "Rebooting to finish install"},
    /* 118 */ {"下载文件", "Download file"},
    /* 119 */ {"正在下载文件", "Downloading file"},
    /* 120 */ {"下载文件失败", "Failed to download file"},
    /* 121 */ {"下载文件完成", "Download file finished"},
    /* 122 */ {"正在请求IP地址", "Requesting IP address"},
    /* 123 */
    {"安装前需要先从ISO文件中解压Windows镜像文件！\r\n\r\n现在解压ISO文件吗？",
     "Windows image files need to be extracted from the ISO file before "
     "installation!\r\n\r\nExtract the ISO file now?"},
    /* 124 */
    {"当前不支持UDF格式的ISO文件\r\n如果您选择的是Windows镜像文件\r\n请在安装前解压ISO文件！\r\n\r"
     "\n现在解压ISO文件吗？",
     "Currently ISO file in UDF format is NOT supported\r\nIf you choose a Windows image "
     "file\r\nPlease extract the ISO file before installation!\r\n\r\nExtract the ISO file now?"},
    /* 125 */ {"镜像源不存在,请确认!", "The install source does not exist, please check!"},
    /* 126 */
    {"分配IP不可以和本机IP地址冲突，请确认！",
     "The local ip address could NOT be in the ip pool range!"},
    /* 127 */
    {"本机中没有对应网段的IP地址，请确认！",
     "System has NO ip address in the same subnet, please check!"},
    /* 128 */ {"端口被占用", "The port is in use"},
    /* 129 */ {"启动失败", "startup failed"},
    /* 130 */ {"当前不支持此种OS的安装", "This type of OS is NOT supported"},
    /* 131 */
    {"当前选择的启动文件不支持Windows的安装\r\n请选择其他启动文件",
     "The boot file selected does NOT support Windows\r\nPlease select other boot file"},
    /* 132 */
    {"此操作系统需要NFS服务，请在\"选项\"--\"NFS配置\"中进行设置",
     "This OS need NFS service, please set the configuration in \"Option\"--\"NFS Configuration\""},
    /* 133 */ {"客户端详情", "Client Detail"},
    /* 134 */ {"BIOS模式", "BIOS Mode"},
    /* 135 */ {"MAC地址", "MAC Addr"},
    /* 136 */ {"IP地址", "IP Addr"},
    /* 137 */ {"序列号", "Serial"},
    /* 138 */ {"产品", "Product"},
    /* 139 */ {"厂商", "Vendor"},
    /* 140 */ {"开始时间 ", "Start Time "},
    /* 141 */ {"总用时  ", "Total Time  "},
    /* 142 */ {"分", "M"},
    /* 143 */ {"秒", "S"},
    /* 144 */ {"用时", "time"},
    /* 145 */
    {" 警告: 此操作系统和此客户端设备的CPU体系结构不匹配(X86 ARM...)",
     " Warning: the os does not match the client in architecture (X86 ARM ...)"},
    /* 146 */ {"注意", "Note"},
    /* 147 */
    {"1. 安装过程中看到 \"Cannot read the ProductKey\" ... 时请来此处设置",
     "1. Come here when you see \"Cannot read the ProductKey\" ...  during installation"},
    /* 148 */
    {"2. 只有ISO确实需要时才设置密钥，否则可能导致安装失败",
     "2. Only set the key when the ISO indeed need it, Otherwise the installation may fail"},
    /* 149 */
    {"3. 产品密钥通常为 XXXXX-XXXXX-XXXXX-XXXXX-XXXXX 格式",
     "3. The product key is normally in XXXXX-XXXXX-XXXXX-XXXXX-XXXXX format"},
    /* 150 */ {"密钥", "key"},
    /* 151 */ {"启用", "Enable"},
    /* 152 */ {"密钥格式错误", "The key format is incorrect"},
    /* 153 */ {"安装模式", "Installation Mode"},
    /* 154 */ {"自动安装", "Automatic Installation"},
    /* 155 */ {"手动安装", "Manual installation"},
    /* 156 */ {"自动启动", "Auto Start"},
};

std::atomic<bool> g_bChinese{false};

}  // namespace

const char *MSG_TextIn(int iNumber, bool bChinese)
{
    const MsgPair &stPair = g_astMsgTable[iNumber];
    return bChinese ? stPair.pcChinese : stPair.pcEnglish;
}

const char *MSG_Text(int iNumber)
{
    return MSG_TextIn(iNumber, g_bChinese.load());
}

bool MSG_IsChinese()
{
    return g_bChinese.load();
}

void MSG_SetChinese(bool bChinese)
{
    g_bChinese.store(bChinese);
}
