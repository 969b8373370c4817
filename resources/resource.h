// Resource identifiers shared by app.rc and the shell: the menu, its commands and the icon.
// The processing commands double as the core's processing modes (processing/dispatcher.h).
#pragma once

#define IDR_MAINMENU 1200

#define IDM_EXIT 1201
#define IDM_VIDEOFORMAT 1211
#define IDM_VIDEOSOURCE 1212

#define IDM_NORMAL 1401
#define IDM_INVERT 1402
#define IDM_AVERAGE2 1403
#define IDM_AVERAGE4 1404
#define IDM_AVERAGE8 1405
#define IDM_FRAMEDIFF 1406
#define IDM_SIMPLEDIFF 1407
#define IDM_DIFF 1408
#define IDM_GRAY 1409
#define IDM_LAPLACIAN_A 1411
#define IDM_LAPLACIAN_B 1412
#define IDM_LAPLACIAN_C 1413
#define IDM_SOBEL_X 1421
#define IDM_SOBEL_Y 1422
#define IDM_LOWPASS3 1431
#define IDM_HIGHPASS3 1432
#define IDM_LOWPASS5 1433
#define IDM_HIGHPASS5 1434
#define IDM_MINIMUM 1441
#define IDM_MAXIMUM 1442
#define IDM_MEDIAN 1443
#define IDM_MEAN 1444
#define IDM_BINARIZE 1451

#define IDI_PRGICON "PRGICON"
