#pragma once

class CAddNewDeviceForm;
class CAllDeviceHandler;
class CServerHandler;

// The cross-component connections that no component makes itself: uplinks
// from the server session to the registry, device lists to the add dialog.
// Both queued, as every connection between components.
void connectStartupSignals(CServerHandler *server, CAllDeviceHandler *registry, CAddNewDeviceForm *addForm);
