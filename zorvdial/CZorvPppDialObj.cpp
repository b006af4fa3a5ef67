#include "CZorvPppDialObj.h"
// Placeholder until the dial library lands.
CZorvPppDialObj::CZorvPppDialObj() = default;
CZorvPppDialObj::~CZorvPppDialObj() = default;
CZorvPppDialObj &CZorvPppDialObj::operator=(const CZorvPppDialObj &) { return *this; }
bool CZorvPppDialObj::dialUp(void *) { return false; }
int CZorvPppDialObj::GetConnectStatus() { return -1; }
bool CZorvPppDialObj::hangUp() { return true; }
