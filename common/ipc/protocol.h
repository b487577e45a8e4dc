/* SPDX-License-Identifier: MIT */
/* The supervisor protocol and the monitor's alarm records: module ids, command ids, data layouts.
 * These are the records the unit's modules exchange with the supervisor (kivsts, module 80), and
 * those the monitor sends to the error-log and display modules. KIV_*_POS are byte positions in a
 * record's 250-byte data area; bytes no field names are spaces. Numbers are three ASCII digits
 * ("%03d"), other fields single raw bytes. */
#ifndef KIV_PROTOCOL_H
#define KIV_PROTOCOL_H

/* Module ids of the records below (the whole table is in the module registry, os/osfork.h). */
#define KIV_MOD_STS 80  /* kivsts, the supervisor: reads FifoSts and FifoStsp */
#define KIV_MOD_LOG 10  /* kivlog, the error log: reads FifoLog */
#define KIV_MOD_FTP 11  /* kivftp, file transfer: reads FifoFtp */
#define KIV_MOD_DISP 20 /* kivdisp, the display: reads FifoDisp */
#define KIV_MOD_TAMP 53 /* kivtamp, the tamper-switch monitor: reads FifoTamp */

/* Commands the supervisor writes into a module's own pipe, with module id KIV_MOD_STS; a module
 * drops records from any other sender. Their argument is data byte KIV_CMD_ARG_POS, a raw byte. */
#define KIV_CMD_TERMINATE 900       /* stop: argument 0 or 1; the module answers 605 when stopped */
#define KIV_CMD_SETTING_CHANGED 901 /* argument 1: the settings changed, apply them; always answered by 621 */
#define KIV_CMD_WAKEUP 902          /* answered by a new 600 */
#define KIV_CMD_ARG_POS 0
#define KIV_SETTING_APPLY 1 /* the 901 argument that asks to apply the settings */

/* Records a module sends to the supervisor, module id its own unless stated. */
#define KIV_CMD_WAKEUP_COMPLETE 600    /* to FifoStsp: start-up done (WakeupComplete) */
#define KIV_CMD_TERMINATE_COMPLETE 605 /* to FifoSts: shut-down done (TerminateComplete) */
#define KIV_CMD_STS_ERROR 609          /* to FifoSts: an error status, from module 53 (SendSTSError) */
#define KIV_CMD_SETTING_REPLY 621      /* to FifoSts: reply to 901, data all spaces */
#define KIV_CMD_MODULE_KILL 631        /* to FifoSts: please stop a module (SendStsModuleKill) */

/* 600 and 605: the status, three digits; 600 also carries the module's four-character tag. */
#define KIV_STATUS_POS 0
#define KIV_STATUS_LEN 3
#define KIV_STATUS_OK 0
#define KIV_STATUS_FAILED 1
#define KIV_WAKEUP_TAG_POS 3
#define KIV_WAKEUP_TAG_LEN 4
/* 609: the error kind plus KIV_STS_ERROR_KIND_BIAS and the error value, one raw byte each
 * (modulo 256). A tamper event is kind 1, value 1: the bytes 0x05 0x01. */
#define KIV_STS_ERROR_KIND_POS 0
#define KIV_STS_ERROR_KIND_BIAS 4
#define KIV_STS_ERROR_VALUE_POS 1
/* 631: the id of the module to stop, three digits. */
#define KIV_MODULE_KILL_POS 0

/* The monitor's alarm records. 54 to FifoLog: date "YYYYMMDD", time "hhmmss", the error code
 * (0x21, 0x22 when the DIP-switch pair kind is 1) and the kind (1 tamper event), raw bytes.
 * 151 to FifoDisp: the message text KIV_DISPLAY_TAMPER, without terminator. */
#define KIV_CMD_ERROR_LOG 54
#define KIV_ERROR_LOG_DATE_POS 0
#define KIV_ERROR_LOG_TIME_POS 8
#define KIV_ERROR_LOG_CODE_POS 14
#define KIV_ERROR_LOG_KIND_POS 15
#define KIV_ERROR_KIND_TAMPER 1
#define KIV_CMD_DISPLAY 151
#define KIV_DISPLAY_TAMPER "0625 00000000"

#endif
