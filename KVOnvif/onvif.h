/* gSOAP interface header of the ONVIF client: only what the client sends and reads.
 * soapcpp2 turns it into the bindings at build time. Names and namespaces follow the
 * published ONVIF device service and WS-Discovery descriptions. */

#import "wsdd10.h"      // WS-Discovery 2005/04 over WS-Addressing 2004/08: wsddProxy
#import "wsse.h"        // WS-Security header (UsernameToken)
#import "stlvector.h"

// Probe Types carries the QName dn:NetworkVideoTransmitter; the prefix must be bound.
//gsoap dn    schema namespace:	http://www.onvif.org/ver10/network/wsdl

//gsoap tds   schema namespace:	http://www.onvif.org/ver10/device/wsdl
//gsoap tds   schema elementForm:	qualified
//gsoap tds   schema attributeForm:	unqualified

//gsoap tt    schema namespace:	http://www.onvif.org/ver10/schema
//gsoap tt    schema elementForm:	qualified
//gsoap tt    schema attributeForm:	unqualified

typedef std::string xsd__token;
typedef xsd__token tt__ReferenceToken;
typedef xsd__token tt__IPv4Address;
typedef xsd__token tt__IPv6Address;
typedef xsd__token tt__HwAddress;
// An enumeration in the schema (HTTP, HTTPS, RTSP); read as text so that a vendor
// value does not fail the whole reply.
typedef std::string tt__NetworkProtocolType;

class tt__PrefixedIPv4Address
{ public:
    tt__IPv4Address                      Address                        1;
    int                                  PrefixLength                   1;
};

class tt__IPv4Configuration
{ public:
    std::vector<tt__PrefixedIPv4Address*> Manual                        0;
    tt__PrefixedIPv4Address*             LinkLocal                      0;
    tt__PrefixedIPv4Address*             FromDHCP                       0;
    bool                                 DHCP                           1;
};

class tt__IPv4NetworkInterface
{ public:
    bool                                 Enabled                        1;
    tt__IPv4Configuration*               Config                         0;
};

class tt__NetworkInterfaceInfo
{ public:
    std::string*                         Name                           0;
    tt__HwAddress*                       HwAddress                      0;
    int*                                 MTU                            0;
};

// Link, IPv6 and Extension are not used and are skipped when received.
class tt__NetworkInterface
{ public:
  @ tt__ReferenceToken                   token                          1;
    bool                                 Enabled                        1;
    tt__NetworkInterfaceInfo*            Info                           0;
    tt__IPv4NetworkInterface*            IPv4                           0;
};

class tt__IPv4NetworkInterfaceSetConfiguration
{ public:
    bool*                                Enabled                        0;
    std::vector<tt__PrefixedIPv4Address*> Manual                        0;
    bool*                                DHCP                           0;
};

class tt__NetworkInterfaceSetConfiguration
{ public:
    bool*                                Enabled                        0;
    int*                                 MTU                            0;
    tt__IPv4NetworkInterfaceSetConfiguration* IPv4                      0;
};

class tt__NetworkProtocol
{ public:
    tt__NetworkProtocolType              Name                           1;
    bool                                 Enabled                        1;
    std::vector<int>                     Port                           0;
};

class tt__NetworkGateway
{ public:
    std::vector<tt__IPv4Address>         IPv4Address                    0;
    std::vector<tt__IPv6Address>         IPv6Address                    0;
};

class _tds__GetNetworkInterfaces
{ public:
};

class _tds__GetNetworkInterfacesResponse
{ public:
    std::vector<tt__NetworkInterface*>   NetworkInterfaces              0;
};

class _tds__SetNetworkInterfaces
{ public:
    tt__ReferenceToken                   InterfaceToken                 1;
    tt__NetworkInterfaceSetConfiguration* NetworkInterface              1;
};

class _tds__SetNetworkInterfacesResponse
{ public:
    bool*                                RebootNeeded                   0;
};

class _tds__GetNetworkProtocols
{ public:
};

class _tds__GetNetworkProtocolsResponse
{ public:
    std::vector<tt__NetworkProtocol*>    NetworkProtocols               0;
};

class _tds__SetNetworkProtocols
{ public:
    std::vector<tt__NetworkProtocol*>    NetworkProtocols               1;
};

class _tds__SetNetworkProtocolsResponse
{ public:
};

class _tds__GetNetworkDefaultGateway
{ public:
};

class _tds__GetNetworkDefaultGatewayResponse
{ public:
    tt__NetworkGateway*                  NetworkGateway                 0;
};

class _tds__SetNetworkDefaultGateway
{ public:
    std::vector<tt__IPv4Address>         IPv4Address                    0;
    std::vector<tt__IPv6Address>         IPv6Address                    0;
};

class _tds__SetNetworkDefaultGatewayResponse
{ public:
};

class _tds__SystemReboot
{ public:
};

class _tds__SystemRebootResponse
{ public:
    std::string*                         Message                        0;
};

//gsoap tds  service name:	DeviceBinding
//gsoap tds  service type:	Device
//gsoap tds  service namespace:	http://www.onvif.org/ver10/device/wsdl
//gsoap tds  service transport:	http://schemas.xmlsoap.org/soap/http

//gsoap tds  service method-protocol:	GetNetworkInterfaces SOAP
//gsoap tds  service method-style:	GetNetworkInterfaces document
//gsoap tds  service method-encoding:	GetNetworkInterfaces literal
//gsoap tds  service method-input-action:	GetNetworkInterfaces http://www.onvif.org/ver10/device/wsdl/GetNetworkInterfaces
//gsoap tds  service method-output-action:	GetNetworkInterfaces http://www.onvif.org/ver10/device/wsdl/GetNetworkInterfacesResponse
int __tds__GetNetworkInterfaces(
    _tds__GetNetworkInterfaces*          tds__GetNetworkInterfaces,
    _tds__GetNetworkInterfacesResponse  &tds__GetNetworkInterfacesResponse);

//gsoap tds  service method-protocol:	SetNetworkInterfaces SOAP
//gsoap tds  service method-style:	SetNetworkInterfaces document
//gsoap tds  service method-encoding:	SetNetworkInterfaces literal
//gsoap tds  service method-input-action:	SetNetworkInterfaces http://www.onvif.org/ver10/device/wsdl/SetNetworkInterfaces
//gsoap tds  service method-output-action:	SetNetworkInterfaces http://www.onvif.org/ver10/device/wsdl/SetNetworkInterfacesResponse
int __tds__SetNetworkInterfaces(
    _tds__SetNetworkInterfaces*          tds__SetNetworkInterfaces,
    _tds__SetNetworkInterfacesResponse  &tds__SetNetworkInterfacesResponse);

//gsoap tds  service method-protocol:	GetNetworkProtocols SOAP
//gsoap tds  service method-style:	GetNetworkProtocols document
//gsoap tds  service method-encoding:	GetNetworkProtocols literal
//gsoap tds  service method-input-action:	GetNetworkProtocols http://www.onvif.org/ver10/device/wsdl/GetNetworkProtocols
//gsoap tds  service method-output-action:	GetNetworkProtocols http://www.onvif.org/ver10/device/wsdl/GetNetworkProtocolsResponse
int __tds__GetNetworkProtocols(
    _tds__GetNetworkProtocols*           tds__GetNetworkProtocols,
    _tds__GetNetworkProtocolsResponse   &tds__GetNetworkProtocolsResponse);

//gsoap tds  service method-protocol:	SetNetworkProtocols SOAP
//gsoap tds  service method-style:	SetNetworkProtocols document
//gsoap tds  service method-encoding:	SetNetworkProtocols literal
//gsoap tds  service method-input-action:	SetNetworkProtocols http://www.onvif.org/ver10/device/wsdl/SetNetworkProtocols
//gsoap tds  service method-output-action:	SetNetworkProtocols http://www.onvif.org/ver10/device/wsdl/SetNetworkProtocolsResponse
int __tds__SetNetworkProtocols(
    _tds__SetNetworkProtocols*           tds__SetNetworkProtocols,
    _tds__SetNetworkProtocolsResponse   &tds__SetNetworkProtocolsResponse);

//gsoap tds  service method-protocol:	GetNetworkDefaultGateway SOAP
//gsoap tds  service method-style:	GetNetworkDefaultGateway document
//gsoap tds  service method-encoding:	GetNetworkDefaultGateway literal
//gsoap tds  service method-input-action:	GetNetworkDefaultGateway http://www.onvif.org/ver10/device/wsdl/GetNetworkDefaultGateway
//gsoap tds  service method-output-action:	GetNetworkDefaultGateway http://www.onvif.org/ver10/device/wsdl/GetNetworkDefaultGatewayResponse
int __tds__GetNetworkDefaultGateway(
    _tds__GetNetworkDefaultGateway*      tds__GetNetworkDefaultGateway,
    _tds__GetNetworkDefaultGatewayResponse &tds__GetNetworkDefaultGatewayResponse);

//gsoap tds  service method-protocol:	SetNetworkDefaultGateway SOAP
//gsoap tds  service method-style:	SetNetworkDefaultGateway document
//gsoap tds  service method-encoding:	SetNetworkDefaultGateway literal
//gsoap tds  service method-input-action:	SetNetworkDefaultGateway http://www.onvif.org/ver10/device/wsdl/SetNetworkDefaultGateway
//gsoap tds  service method-output-action:	SetNetworkDefaultGateway http://www.onvif.org/ver10/device/wsdl/SetNetworkDefaultGatewayResponse
int __tds__SetNetworkDefaultGateway(
    _tds__SetNetworkDefaultGateway*      tds__SetNetworkDefaultGateway,
    _tds__SetNetworkDefaultGatewayResponse &tds__SetNetworkDefaultGatewayResponse);

//gsoap tds  service method-protocol:	SystemReboot SOAP
//gsoap tds  service method-style:	SystemReboot document
//gsoap tds  service method-encoding:	SystemReboot literal
//gsoap tds  service method-input-action:	SystemReboot http://www.onvif.org/ver10/device/wsdl/SystemReboot
//gsoap tds  service method-output-action:	SystemReboot http://www.onvif.org/ver10/device/wsdl/SystemRebootResponse
int __tds__SystemReboot(
    _tds__SystemReboot*                  tds__SystemReboot,
    _tds__SystemRebootResponse          &tds__SystemRebootResponse);
