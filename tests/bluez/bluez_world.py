'''What python-dbusmock's bluez5 template lacks for the BlueZ stack's tests,
loaded over it with AddTemplate: devices that pair with a PIN asked of the
default agent (RequestPinCode) or refuse, a Network1 on every device, names
that come late, and Connect/Disconnect that keep Device1.Connected as
bluetoothd does.'''

import dbus

from dbusmock import mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MOCK = 'org.bluez.Mock'
DEVICE = 'org.bluez.Device1'
NETWORK = 'org.bluez.Network1'


def load(_mock, _parameters):
    pass


def _update(device, interface, changed):
    device.props[interface].update(changed)
    device.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [interface, changed, []])


def _pair(device):
    '''Asks the default agent's owner for the PIN; the device's own must come.'''
    manager = mockobject.objects['/org/bluez']
    agent, pin = manager.default_agent, None
    for name in device.connection.list_names() if agent else []:
        if name.startswith(':') and name != device.connection.get_unique_name():
            try:
                pin = device.connection.call_blocking(name, agent, 'org.bluez.Agent1', 'RequestPinCode', 'o',
                                                      [device.path], timeout=10)
                break
            except dbus.exceptions.DBusException:
                pass
    if not device.pin or pin != device.pin:
        raise dbus.exceptions.DBusException('PIN refused', name='org.bluez.Error.AuthenticationFailed')
    _update(device, DEVICE, {'Paired': dbus.Boolean(True), 'PairedWith': manager.capabilities[str(agent)]})


def _connect(device, connected):
    _update(device, DEVICE, {'Connected': dbus.Boolean(connected)})


def _network(device, connected):
    if not connected and not device.props[NETWORK]['Connected']:
        raise dbus.exceptions.DBusException('Not connected', name='org.bluez.Error.NotConnected')
    _update(device, NETWORK, {'Connected': dbus.Boolean(connected), 'Interface': 'bnep0' if connected else ''})
    _connect(device, connected)
    return 'bnep0' if connected else None


@dbus.service.method(MOCK, in_signature='ssss', out_signature='s')
def AddVci(self, adapter, address, name, pin):
    '''A device named name ('' for none yet), pairing with pin ('' refuses).'''
    path = self.AddDevice(adapter, address, name)
    device = mockobject.objects[path]
    device.pin = pin
    if not name:
        del device.props[DEVICE]['Name']
    device.props[DEVICE]['PairedWith'] = ''
    device.AddMethods(DEVICE, [('Pair', '', '', _pair),
                               ('Connect', '', '', lambda d: _connect(d, True)),
                               ('Disconnect', '', '', lambda d: _connect(d, False))])
    device.AddProperties(NETWORK, {'Connected': dbus.Boolean(False), 'Interface': ''})
    device.AddMethods(NETWORK, [('Connect', 's', 's', lambda d, _role: _network(d, True)),
                                ('Disconnect', '', '', lambda d: _network(d, False))])
    return path


@dbus.service.method(MOCK, in_signature='ss', out_signature='')
def SetName(_self, path, name):
    '''The name that bluetoothd learns late.'''
    _update(mockobject.objects[path], DEVICE, {'Name': name})


@dbus.service.method(MOCK, in_signature='s', out_signature='')
def LeaveRange(_self, path):
    '''No RSSI: not seen by the discovery that runs now.'''
    del mockobject.objects[path].props[DEVICE]['RSSI']
