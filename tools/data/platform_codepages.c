#include <windows.h>
#include <stdio.h>
int main(){ int cps[]={437,737,775,850,852,855,857,860,861,862,863,865,866,869,874,1250,1251,1252,1253,1254,1255,1256,1257,1258,10000,10006,10007,10029,10079,10081};
for(unsigned i=0;i<sizeof cps/sizeof cps[0];i++){ printf("%d", cps[i]);
 for(int b=0x80;b<0x100;b++){ char c=(char)b; WCHAR w[4]={0}; int n=MultiByteToWideChar(cps[i],0,&c,1,w,4); printf(" %04X", n==1?w[0]:0xFFFF);} printf("\n");}
return 0;}
